"""CAPTCHA verification end to end: the built executable, run as a web
server runs it, posts the visitor's token to a local HTTPS verify server
(Python's ssl, a test CA made with openssl) and mails only a post the server
verified, to a real SMTP receiver. A post that could not be checked is
refused within smtp_timeout; the secret never reaches the log or the page."""
import shutil
import socket
import time
from urllib.parse import urlencode

import pytest

from captcha_server import GOOD_TOKEN, VerifyServers, make_test_ca

pytestmark = pytest.mark.skipif(shutil.which("openssl") is None,
                                reason="openssl is not installed")

SECRET = "Verify-S3cret&42"
INI = """smtp 127.0.0.1:{smtp_port}
smtp_timeout 3
logging debug
json_replies
success_html_page {folder}/ok.html
failure_html_page {folder}/bad.html
invalid_html_page {folder}/invalid.html
headerline From: form@example.com
headerline To: owner@example.com
headerline Subject: Contact
use_submitted_variable_for_bodycontent Name:
captcha_provider turnstile
captcha_secret {secret}
captcha_verify_url {url}
captcha_tls_ca {ca}
"""


@pytest.fixture
def certs(tmp_path):
    folder = tmp_path / "certs"
    folder.mkdir()
    return make_test_ca(str(folder))


@pytest.fixture
def verify_server(certs):
    """start(answer, cert) starts a verify server (see VerifyServers); all
    stop in teardown."""
    servers = VerifyServers(certs)
    yield servers.start
    servers.stop()


def closed_port_url():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return f"https://127.0.0.1:{s.getsockname()[1]}/siteverify"


def post(site, receiver, url, ca, token=GOOD_TOKEN, json_reply=False):
    site.write_ini(INI.format(smtp_port=receiver.port, folder=site.folder,
                              secret=SECRET, url=url, ca=ca))
    site.write_file("ok.html", "<p>Thank you, ||Name:||.</p>\n")
    site.write_file("bad.html", "<p>Not sent, ||Name:||.</p>\n")
    site.write_file("invalid.html", "<p>Check: ||_invalid_fields||</p>\n")
    fields = {"Name:": "Jo"}
    if token is not None:
        fields["cf-turnstile-response"] = token
    env = {"REMOTE_ADDR": "192.0.2.7"}
    if json_reply:
        env["HTTP_ACCEPT"] = "application/json"
    began = time.monotonic()
    result = site.run(urlencode(fields), env=env)
    took = time.monotonic() - began
    page = result.stdout.decode("latin-1")
    assert SECRET not in page and SECRET not in site.log_text()
    assert urlencode({"s": SECRET})[2:] not in site.log_text()
    return page, took


def test_good_token_is_verified_and_delivered(site, receiver, verify_server,
                                              certs):
    server = verify_server()
    page, _ = post(site, receiver, server.url, certs["ca"])
    assert page.endswith("<p>Thank you, Jo.</p>\n"), page
    assert len(receiver.wait_for(1)) == 1
    assert [p["form"] for p in server.posts] == [{
        "secret": [SECRET], "response": [GOOD_TOKEN],
        "remoteip": ["192.0.2.7"]}]
    assert server.posts[0]["type"] == "application/x-www-form-urlencoded"
    assert server.posts[0]["path"] == "/siteverify"
    assert f"CAPTCHA verified at {server.url}" in site.log_messages()


@pytest.mark.parametrize("token, json_reply, expected", [
    ("forged", False, "Content-type: text/html\n\n<p>Check: captcha</p>\n"),
    ("forged", True,
     '{"ok":false,"outcome":"invalid","error":"Some fields are missing or '
     'not filled in as asked.","fields":{"captcha":"not verified"}}\n'),
    (None, True,
     '{"ok":false,"outcome":"invalid","error":"Some fields are missing or '
     'not filled in as asked.","fields":{"captcha":"required"}}\n'),
], ids=["refused page", "refused JSON", "missing JSON"])
def test_bad_or_missing_token_is_an_invalid_field(site, receiver,
                                                  verify_server, certs, token,
                                                  json_reply, expected):
    server = verify_server()
    page, _ = post(site, receiver, server.url, certs["ca"], token, json_reply)
    assert page.startswith("Status: 422 Unprocessable Content\n"), page
    assert page.endswith(expected), page
    assert len(server.posts) == (0 if token is None else 1)
    reason = "not verified" if token else "required"
    assert (f"fields not valid (captcha: {reason}): no mail sent"
            in site.log_messages())
    time.sleep(0.2)
    assert receiver.messages == []


# what, the server's answer and certificate (None: nothing listens), the
# reason the errors line gives
UNCHECKED = [
    ("unreachable", None, None, "no connection"),
    ("untrusted certificate", "provider", "stranger",
     "TLS certificate not trusted"),
    ("certificate for another host", "provider", "other_host",
     "TLS host name mismatch"),
    ("not JSON", "not_json", "good", "the answer is not JSON"),
    ("answer never ends", "never_ends", "good", "timed out"),
]


@pytest.mark.parametrize("what, answer, cert, reason", UNCHECKED,
                         ids=[c[0] for c in UNCHECKED])
@pytest.mark.parametrize("json_reply", [False, True])
def test_post_that_cannot_be_checked_is_refused(site, receiver,
                                                verify_server, certs, what,
                                                answer, cert, reason,
                                                json_reply):
    url = closed_port_url() if answer is None else verify_server(answer,
                                                                 cert).url
    page, took = post(site, receiver, url, certs["ca"], json_reply=json_reply)
    assert took < 5, took
    if json_reply:
        assert page.startswith("Status: 503 Service Unavailable\n"), page
        assert page.endswith('{"ok":false,"outcome":"failed","error":"The '
                             'form cannot be taken just now; please try again '
                             'later."}\n'), page
    else:
        assert page.endswith("<p>Not sent, Jo.</p>\n"), page
    lines = [m for m in site.log_messages()
             if m.startswith(f"CAPTCHA could not be verified at {url} (")]
    assert len(lines) == 1, site.log_messages()
    assert lines[0].endswith("): no mail sent")
    assert reason in lines[0], lines[0]
    time.sleep(0.2)
    assert receiver.messages == []
