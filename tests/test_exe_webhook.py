"""The webhook end to end: a local receiver (http.server on 127.0.0.1) gets
the post's record or its Slack text, signed; a receiver that is down, slow,
failing or not trusted costs an errors line and changes nothing the visitor
or the site owner's mailbox gets."""
import hashlib
import hmac
import http.server
import json
import os
import re
import ssl
import threading
import time
from urllib.parse import urlencode

import pytest

from conftest import free_port
from postfix_fixture import make_test_certificate

SECRET = "wh-S3cret-9f2"
INI = """smtp 127.0.0.1:{smtp}
smtp_timeout 2
logging debug
headerline From: form@example.com
headerline To: owner@example.com
headerline Subject: Contact
use_submitted_variable_for_bodycontent Name:
{extra}"""
FORM = urlencode({"Name:": "Ann <b> & \u00e9", "Comments:": 'say "hi"'})
TIME = re.compile(rb'"time":"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ"')


class WebhookReceiver:
    """Records each POST; answers `status` after holding the answer until
    `release` is set or `hold` seconds passed. Stops in stop()."""

    def __init__(self, status=204, hold=0, cert=None):
        self.posts = []
        self.release = threading.Event()
        receiver = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                length = int(self.headers["Content-Length"])
                receiver.posts.append((self.path, dict(self.headers),
                                       self.rfile.read(length)))
                receiver.release.wait(hold)
                self.send_response(status)
                self.send_header("Content-Length", "0")
                self.end_headers()

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0),
                                                      Handler)
        self.server.daemon_threads = True
        if cert:
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(*cert)
            self.server.socket = context.wrap_socket(self.server.socket,
                                                     server_side=True)
        self.port = self.server.server_address[1]
        self.thread = threading.Thread(target=self.server.serve_forever)
        self.thread.start()

    def stop(self):
        self.release.set()
        self.server.shutdown()
        self.server.server_close()
        self.thread.join()


@pytest.fixture
def hooks():
    started = []

    def start(**kwargs):
        started.append(WebhookReceiver(**kwargs))
        return started[-1]
    yield start
    for hook in started:
        hook.stop()


def run(site, smtp_port, extra="", body=FORM):
    site.write_ini(INI.format(smtp=smtp_port, extra=extra))
    began = time.monotonic()
    done = site.run(body)
    return done, time.monotonic() - began


def test_receiver_gets_the_exact_record_and_can_verify_its_signature(
        site, receiver, hooks):
    hook = hooks()
    done, _ = run(site, receiver.port,
                  f"webhook_url http://127.0.0.1:{hook.port}/in?k=1\n"
                  f"webhook_secret {SECRET}\nclient_ip_header true\n")
    assert b"email sent." in done.stdout and len(receiver.messages) == 1
    (path, headers, body), = hook.posts
    assert path == "/in?k=1"
    assert headers["Content-Type"] == "application/json"
    assert TIME.sub(b'"time":"T"', body) == (
        '{"form":"mailer.cgi","outcome":"sent","time":"T",'
        '"fields":[["Name:","Ann <b> & \u00e9"],'
        '["Comments:","say \\"hi\\""]]}').encode()
    mac = hmac.new(SECRET.encode(), body, hashlib.sha256).hexdigest()
    assert hmac.compare_digest(headers["X-Tarvelo-Signature"], "sha256=" + mac)
    # The URL's path and query are often its key: the log shows neither.
    assert (f"webhook http://127.0.0.1:{hook.port}/******** answered status "
            "204" in site.log_messages())
    assert SECRET not in site.log_text() and "k=1" not in site.log_text()


def test_slack_text_and_a_queued_post(site, hooks):
    hook = hooks()
    spool = site.folder + "/spool"
    os.mkdir(spool)
    run(site, free_port(), f"webhook_url http://127.0.0.1:{hook.port}/\n"
        f"webhook_format slack\nspool_folder {spool}\n")
    (_, headers, body), = hook.posts
    assert "X-Tarvelo-Signature" not in headers
    assert json.loads(body) == {"text": "New post to mailer.cgi (queued)\n"
                                "Name:: Ann &lt;b&gt; &amp; \u00e9\n"
                                'Comments:: say "hi"'}
    assert len(os.listdir(spool)) == 1


# name, receiver (None: a closed port), the errors line's end
FAULTS = [
    ("down", None, r"failed: no connection \(.+\)"),
    ("slow", {"hold": 10}, r"failed: timed out.*"),
    ("status 500", {"status": 500}, r"failed: status 500"),
    ("untrusted", {"cert": True},
     r"failed: TLS failed \(TLS certificate not trusted.*\)"),
]


@pytest.mark.parametrize("name,kind,line", FAULTS, ids=[f[0] for f in FAULTS])
def test_a_failing_receiver_changes_neither_page_nor_mail(
        site, receiver, hooks, tmp_path, name, kind, line):
    plain, _ = run(site, receiver.port)
    scheme, port = "http", free_port()
    if kind is not None:
        if kind.pop("cert", False):
            kind["cert"] = make_test_certificate(str(tmp_path))
            scheme = "https"
        port = hooks(**kind).port
    url = f"{scheme}://127.0.0.1:{port}/"
    done, seconds = run(site, receiver.port, f"webhook_url {url}\n")
    assert done.stdout == plain.stdout
    assert len(receiver.messages) == 2
    assert receiver.messages[0]["data"] == receiver.messages[1]["data"]
    assert seconds < 2 + 1.5
    errors = [m for m in site.log_messages() if m.startswith("webhook ")]
    assert len(errors) == 1 and re.fullmatch(re.escape(f"webhook {url} ") +
                                             line, errors[0]), errors


@pytest.mark.parametrize("extra,body", [
    ("required_field Email\n", FORM),
    ("honeypot_field website\n", FORM + "&website=x"),
])
def test_no_webhook_for_a_refused_or_dropped_post(site, receiver, hooks,
                                                 extra, body):
    hook = hooks()
    run(site, receiver.port,
        f"webhook_url http://127.0.0.1:{hook.port}/\n{extra}", body)
    assert hook.posts == [] and receiver.messages == []
