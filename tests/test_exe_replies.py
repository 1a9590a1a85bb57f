"""The reply as a browser or a fetch() script meets it: JSON objects, CORS,
303 redirects, field rules, recipient aliases and X-Originating-IP, through
the real executable and a real SMTP receiver. An ini with none of these
keywords must still give the bytes recorded in fixtures/replies_today."""
import os
import re
from urllib.parse import urlencode

import pytest

from conftest import Receiver

TODAY = os.path.join(os.path.dirname(os.path.abspath(__file__)), "fixtures",
                     "replies_today")
# TARVELO_RECORD_TODAY=1 writes the files instead of comparing (run it with a
# build from before these keywords existed).
RECORD = os.environ.get("TARVELO_RECORD_TODAY") == "1"

TODAY_INI = """smtp 127.0.0.1:{port}
logging debug
success_html_page {folder}/ok.html
failure_html_page {folder}/bad.html
headerline From: form@example.com
use_submitted_variable_for_headerline To:
headerline Subject: Contact
use_submitted_variable_for_bodycontent Name:
use_submitted_variable_for_bodycontent Comments:
{extra}"""
OK_PAGE = "<p>Thank you, ||Name:||.</p>\n"
BAD_PAGE = "<p>Sorry ||Name:||, not sent: <b>||Comments:||</b></p>\n"
FORM = {"To:": "owner@example.com", "Name:": "Jo <b>",
        "Comments:": "hi & bye"}
MULTI = "multipart/form-data; boundary=XyZ"
UPLOAD = (b"--XyZ\r\nContent-Disposition: form-data; name=\"To:\"\r\n\r\n"
          b"owner@example.com\r\n--XyZ\r\nContent-Disposition: form-data; "
          b"name=\"Upload:\"; filename=\"x.exe\"\r\nContent-Type: "
          b"application/octet-stream\r\n\r\nMZ\r\n--XyZ--\r\n")


class RefusingReceiver(Receiver):
    """The real receiver, refusing every recipient."""

    def __init__(self):
        super().__init__()
        self.controller.handler.handle_RCPT = self.refuse

    @staticmethod
    async def refuse(server, session, envelope, address, options):
        return "550 no such user"


def form(**extra):
    return urlencode({**FORM, **extra}).encode()


# name, extra ini lines, env, body, content_length, runs before the one kept
TODAY_CASES = [
    ("sent", "", {}, form(), None, 0),
    ("refused", "", {}, form(), None, 0),
    ("method_get", "", {"REQUEST_METHOD": "GET"}, b"", None, 0),
    ("unsupported", "", {"CONTENT_TYPE": "text/xml"}, b"<a/>", None, 0),
    ("too_large", "", {"CONTENT_TYPE": "application/json"}, b"{}", 200000, 0),
    ("malformed", "", {"CONTENT_TYPE": "application/json"}, b'{"a":', None,
     0),
    ("honeypot", "honeypot_field website\n", {}, form(website="x"), None, 0),
    ("rate_limited", "rate_limit 1\n", {"REMOTE_ADDR": "192.0.2.9"}, form(),
     None, 1),
    ("not_allowed", "allowed_recipient @example.org\n", {}, form(), None, 0),
    ("file_refused", "", {"CONTENT_TYPE": MULTI}, UPLOAD, None, 0),
]


def masked_log(site, port):
    text = "\n".join(site.log_messages()) + "\n"
    text = text.replace(site.folder, "SITE").replace(str(port), "PORT")
    # Socket numbers, and the receiver's greetings naming this host and the
    # aiosmtpd release, differ between machines and builds.
    text = re.sub(r"(SEND|SENT|RECV)\(\d+\)", r"\1(N)", text)
    return re.sub(r"RECV\(N\):(\[\d+\])? \{(2\d\d)[ -][^}]*\}",
                  r"RECV(N): {\2 ...}", text)


@pytest.mark.parametrize("case", TODAY_CASES, ids=[c[0] for c in TODAY_CASES])
def test_ini_without_new_keywords_gives_todays_bytes(site, case):
    name, extra, env, body, length, before = case
    receiver = RefusingReceiver() if name == "refused" else Receiver()
    receiver.start()
    try:
        site.write_ini(TODAY_INI.format(port=receiver.port, folder=site.folder,
                                        extra=extra))
        site.write_file("ok.html", OK_PAGE)
        site.write_file("bad.html", BAD_PAGE)
        for _ in range(before):
            site.run(body, content_length=length, env=env)
        if os.path.exists(site.log):
            os.remove(site.log)
        p = site.run(body, content_length=length, env=env)
        mails = [m["data"] for m in receiver.messages[before:]]
    finally:
        receiver.stop()
    got = {".out": p.stdout, ".log": masked_log(site, receiver.port).encode(),
           ".mail": b"".join(mails)}
    for suffix, data in got.items():
        path = os.path.join(TODAY, name + suffix)
        if RECORD:
            os.makedirs(TODAY, exist_ok=True)
            with open(path, "wb") as f:
                f.write(data)
        with open(path, "rb") as f:
            assert data == f.read(), name + suffix
