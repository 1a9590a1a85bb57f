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


# --- the new keywords --------------------------------------------------------

BASE_INI = """smtp 127.0.0.1:{port}
logging debug
headerline From: form@example.com
use_submitted_variable_for_headerline To:
headerline Subject: Contact
use_submitted_variable_for_bodycontent Name:
{extra}"""
JSON_INI = "json_replies\nemail_field Email\nrequired_field Name\n"
JSON_ACCEPT = {"HTTP_ACCEPT": "application/json"}
ORIGIN = "https://www.example.com"


def run_post(site, tmp_path, extra="", env=None, body=None, length=None,
             before=0, server="ok"):
    """Posts body (a form every rule passes when None) with the ini BASE_INI + extra,
    after `before` identical posts; returns the last run's stdout and the
    mails the receiver took from it. server: "ok", "refusing" or "closed"
    (nothing listens: the delivery fails)."""
    receiver = RefusingReceiver() if server == "refusing" else Receiver()
    receiver.start()
    try:
        port = receiver.port
        if server == "closed":
            receiver.stop()
            port = receiver.port
        spool = tmp_path / "spool"
        spool.mkdir(exist_ok=True)
        site.write_ini(BASE_INI.format(port=port, extra=extra.format(
            spool=spool, folder=site.folder)))
        body = form(Email="jo@example.com", Name="Jo") if body is None else body
        for _ in range(before):
            site.run(body, content_length=length, env=env)
        earlier = len(receiver.messages)
        p = site.run(body, content_length=length, env=env)
        mails = receiver.messages[earlier:]
    finally:
        if server != "closed":
            receiver.stop()
    return p.stdout, mails


def json_reply(status, outcome, error=None, fields=None, more=""):
    head = (f"Status: {status}\nContent-Type: application/json; "
            "charset=utf-8\nCache-Control: no-store\nVary: Accept\n" + more)
    ok = "true" if status[0] == "2" else "false"
    body = f'{{"ok":{ok},"outcome":"{outcome}"'
    if error:
        body += f',"error":"{error}"'
    if fields:
        body += ',"fields":{' + ",".join(
            f'"{k}":"{v}"' for k, v in fields) + "}"
    return (head + "\n" + body + "}\n").encode()


SENT = json_reply("200 OK", "sent")
INVALID = "Some fields are missing or not filled in as asked."
FAILED = "The message could not be sent; please try again later."

# name, extra ini, env, body, content length, posts before, server,
# expected reply, mails sent
JSON_CASES = [
    ("sent", "", {}, None, None, 0, "ok", SENT, 1),
    ("honeypot", "honeypot_field website\n", {},
     form(Email="jo@example.com", Name="Jo", website="x"), None, 0, "ok",
     SENT, 0),
    ("honeypot and invalid fields", "honeypot_field website\n", {},
     form(Name="", website="x"), None, 0, "ok", SENT, 0),
    ("queued", "spool_folder {spool}\n", {}, None, None, 0, "closed",
     json_reply("202 Accepted", "queued"), 0),
    ("invalid fields", "", {}, form(Name=" ", Email="jo@example"), None, 0,
     "ok", json_reply("422 Unprocessable Content", "invalid", INVALID,
                      [("Email", "not an e-mail address"),
                       ("Name", "required")]), 0),
    ("unknown alias token",
     "recipient_field Dept\nrecipient_alias sales s@example.com\n", {},
     form(Email="jo@example.com", Name="Jo", Dept="Sales"), None, 0, "ok",
     json_reply("422 Unprocessable Content", "invalid", INVALID,
                [("Dept", "not one of the choices")]), 0),
    ("file type not allowed", "", {"CONTENT_TYPE": MULTI}, UPLOAD, None, 0,
     "ok", json_reply("422 Unprocessable Content", "invalid", INVALID,
                      [("Upload:", "file type not allowed")]), 0),
    ("method", "", {"REQUEST_METHOD": "GET"}, b"", None, 0, "ok",
     json_reply("405 Method Not Allowed", "method",
                "This address only takes forms that are posted.",
                more="Allow: POST\n"), 0),
    ("unsupported", "", {"CONTENT_TYPE": "text/xml"}, b"<a/>", None, 0, "ok",
     json_reply("415 Unsupported Media Type", "unsupported",
                "The form was sent in a format this address does not read."),
     0),
    ("too large", "", {"CONTENT_TYPE": "application/json"}, b"{}", 200000, 0,
     "ok", json_reply("413 Content Too Large", "too_large",
                      "The form is larger than this address takes."), 0),
    ("malformed", "", {"CONTENT_TYPE": "application/json"}, b'{"a":', None, 0,
     "ok", json_reply("400 Bad Request", "malformed",
                      "The form could not be read."), 0),
    ("rate limited", "rate_limit 1\n", {"REMOTE_ADDR": "192.0.2.9"}, None,
     None, 1, "ok",
     json_reply("429 Too Many Requests", "rate_limited",
                "Too many forms came from your address; please try again in "
                "an hour.", more="Retry-After: 3600\n"), 0),
    ("allow-list refusal", "allowed_recipient @example.org\n", {}, None, None,
     0, "ok", json_reply("502 Bad Gateway", "failed", FAILED), 0),
    ("server refused", "", {}, None, None, 0, "refusing",
     json_reply("502 Bad Gateway", "failed", FAILED), 0),
    ("server unreachable", "", {}, None, None, 0, "closed",
     json_reply("502 Bad Gateway", "failed", FAILED), 0),
    ("rate-limit state unusable", "rate_limit 1\n",
     {"REMOTE_ADDR": "192.0.2.9", "TMPDIR": "{folder}/ok.html"}, None, None,
     0, "ok", json_reply("503 Service Unavailable", "failed",
                         "The form cannot be taken just now; please try "
                         "again later."), 0),
]


@pytest.mark.parametrize("case", JSON_CASES, ids=[c[0] for c in JSON_CASES])
def test_json_reply_table(site, tmp_path, case):
    name, extra, env, body, length, before, server, expected, mails = case
    if "TMPDIR" in env:
        # Neither the state beside the log nor TMPDIR/tarvelo can be made.
        os.mkdir(os.path.join(site.folder, "mailer.rate"))
        site.write_file("ok.html", "")
    env = {k: v.format(folder=site.folder) for k, v in env.items()}
    out, sent = run_post(site, tmp_path, JSON_INI + extra,
                         {**JSON_ACCEPT, **env}, body, length, before, server)
    assert out == expected
    assert len(sent) == mails


def test_json_reply_names_a_listed_origin_only(site, tmp_path):
    extra = JSON_INI + f"cors_origin {ORIGIN}\n"
    for origin, more in [("https://WWW.Example.com",
                          "Access-Control-Allow-Origin: "
                          "https://WWW.Example.com\n"),
                         ("https://www.example.com:8443", None),
                         ("https://evil.example", None)]:
        out, _ = run_post(site, tmp_path, extra,
                          {**JSON_ACCEPT, "HTTP_ORIGIN": origin})
        if more is None:
            assert out == SENT, origin
        else:
            assert out == SENT.replace(
                b"Vary: Accept\n", b"Vary: Accept, Origin\n" + more.encode())


PREFLIGHT_LISTED = (
    "Status: 204 No Content\nAccess-Control-Allow-Origin: {origin}\n"
    "Access-Control-Allow-Methods: POST\n"
    "Access-Control-Allow-Headers: Content-Type\n"
    "Access-Control-Max-Age: 86400\nVary: Origin\n\n")


@pytest.mark.parametrize("cors,origin,expected", [
    (True, ORIGIN, PREFLIGHT_LISTED.format(origin=ORIGIN)),
    (True, "HTTPS://www.EXAMPLE.com", PREFLIGHT_LISTED.format(
        origin="HTTPS://www.EXAMPLE.com")),
    (True, "https://other.example", "Status: 204 No Content\n\n"),
    (True, "", "Status: 204 No Content\n\n"),
    (False, ORIGIN, None),  # no cors_origin: today's answer to a non-POST
], ids=["listed", "listed in other case", "unlisted", "no origin",
        "no cors_origin"])
def test_preflight(site, receiver, cors, origin, expected):
    site.write_ini(BASE_INI.format(port=receiver.port, extra=(
        f"cors_origin {ORIGIN}\n" if cors else "")))
    p = site.run(b"", env={"REQUEST_METHOD": "OPTIONS", "HTTP_ORIGIN": origin,
                           "HTTP_ACCESS_CONTROL_REQUEST_METHOD": "POST"})
    msgs = site.log_messages()
    not_post = "request method OPTIONS is not POST: no mail sent"
    if expected is None:
        assert p.stdout.startswith(b"Pragma: no-cache\n")
        assert b"email NOT sent." in p.stdout
        assert not_post in msgs
    else:
        assert p.stdout == expected.encode()
        assert not_post not in msgs
        assert msgs[-1] == "ended."
    assert receiver.messages == []


def test_refused_redirects_and_origins_leave_the_page(site, tmp_path):
    bad = [("success_redirect", "//evil.example/x"),
           ("failure_redirect", "javascript:alert(1)"),
           ("queued_redirect", "/thanks page"),
           ("invalid_redirect", "/\\evil.example"),
           ("success_redirect", "ftp://site.example/"),
           ("cors_origin", "*"), ("cors_origin", "null"),
           ("cors_origin", "https://www.example.com/")]
    extra = "".join(f"{k} {v}\n" for k, v in bad)
    out, mails = run_post(site, tmp_path, extra,
                          {"HTTP_ORIGIN": "https://www.example.com"})
    assert out.startswith(b"Pragma: no-cache\nContent-type: text/html\n\n")
    assert b"email sent." in out and len(mails) == 1
    msgs = site.log_messages()
    for keyword, value in bad:
        if keyword == "cors_origin":
            line = (f"cors_origin ({value}) is not an origin such as "
                    "https://www.example.com: not used")
        else:
            line = (f"{keyword} ({value}) is not an http or https URL or a "
                    "path on this site: the page is used")
        assert line in msgs


REDIRECTS = ("success_redirect https://site.example/thanks\n"
             "failure_redirect /sorry?x=1\n"
             "queued_redirect /later\n"
             "invalid_redirect /fix\n"
             "required_field Name\n")


def see_other(url):
    return f"Status: 303 See Other\nLocation: {url}\n\n".encode()


# name, extra ini, env, body, server, expected reply
REDIRECT_CASES = [
    ("sent", REDIRECTS, {}, None, "ok",
     see_other("https://site.example/thanks")),
    ("queued", REDIRECTS + "spool_folder {spool}\n", {}, None, "closed",
     see_other("/later")),
    ("invalid", REDIRECTS, {}, form(Name=""), "ok", see_other("/fix")),
    ("failed", REDIRECTS, {}, None, "refusing", see_other("/sorry?x=1")),
    ("method", REDIRECTS, {"REQUEST_METHOD": "GET"}, b"", "ok",
     see_other("/sorry?x=1")),
    ("malformed", REDIRECTS, {"CONTENT_TYPE": "application/json"}, b"{",
     "ok", see_other("/sorry?x=1")),
    ("queued without its redirect or page", "failure_redirect /sorry\n"
     "spool_folder {spool}\n", {}, None, "closed", see_other("/sorry")),
    ("invalid without its redirect", "failure_redirect /sorry\n"
     "required_field Name\n", {}, form(Name=""), "ok", see_other("/sorry")),
    ("JSON never redirects", REDIRECTS + "json_replies\n", JSON_ACCEPT, None,
     "ok", SENT),
    ("HTML when JSON is not preferred", REDIRECTS + "json_replies\n",
     {"HTTP_ACCEPT": "text/html,application/json;q=0.9"}, None, "ok",
     b"Status: 303 See Other\nLocation: https://site.example/thanks\n"
     b"Cache-Control: no-store\nVary: Accept\n\n"),
]


@pytest.mark.parametrize("case", REDIRECT_CASES,
                         ids=[c[0] for c in REDIRECT_CASES])
def test_redirect_per_outcome(site, tmp_path, case):
    name, extra, env, body, server, expected = case
    out, _ = run_post(site, tmp_path, extra, env, body, server=server)
    assert out == expected


INVALID_PAGE = "<p>Please fill in: ||_invalid_fields||. You wrote ||Name||</p>\n"


@pytest.mark.parametrize("page", [True, False])
def test_invalid_page_names_the_fields(site, tmp_path, page):
    site.write_file("invalid.html", INVALID_PAGE)
    site.write_file("bad.html", "<p>Sorry: ||_invalid_fields||</p>\n")
    extra = ("required_field a<b\nemail_field Email\nrequired_field Name\n"
             "failure_html_page {folder}/bad.html\n")
    if page:
        extra += "invalid_html_page {folder}/invalid.html\n"
    out, mails = run_post(site, tmp_path, extra, body=urlencode({
        "Name": "Jo & co", "Email": "not-an-address",
        "_invalid_fields": "<forged>"}).encode())
    text = ("<p>Please fill in: a&lt;b, Email. You wrote Jo &amp; co</p>\n"
            if page else "<p>Sorry: a&lt;b, Email</p>\n")
    assert out == (b"Status: 422 Unprocessable Content\nPragma: no-cache\n"
                   b"Content-type: text/html\n\n" + text.encode())
    assert mails == []
    assert ("fields not valid (a<b: required, Email: not an e-mail address): "
            "no mail sent") in site.log_messages()


ALIASES = ("recipient_field Dept\n"
           "recipient_alias sales sales@shop.example\n"
           "recipient_alias help help@shop.example\n"
           "headerline To: owner@example.com\n"
           "headerline CC: copy@example.com\n")


def test_alias_is_the_only_recipient(site, tmp_path):
    out, mails = run_post(site, tmp_path, ALIASES, body=form(
        Dept="help", **{"To:": "victim@spam.example"}))
    assert b"email sent." in out
    [m] = mails
    assert sorted(m["rcpt"]) == ["copy@example.com", "help@shop.example"]
    head = m["data"].split(b"\r\n\r\n")[0]
    assert head.startswith(b"From: form@example.com \r\n"
                           b"To: help@shop.example\r\nSubject: Contact \r\n"
                           b"CC: copy@example.com \r\n")
    assert b"victim" not in m["data"] and b"owner@" not in m["data"]
    assert ("recipient_field (Dept) is set: To comes from recipient_alias, "
            "other To entries are not used") in site.log_messages()


def test_unknown_alias_token_sends_nothing(site, tmp_path):
    out, mails = run_post(site, tmp_path, ALIASES, body=form(
        Dept="help@shop.example"))
    assert mails == []
    assert out.startswith(b"Status: 422 Unprocessable Content\n")
    assert b"email NOT sent." in out
    assert ("fields not valid (Dept: not one of the choices): no mail sent"
            in site.log_messages())


@pytest.mark.parametrize("client,line", [
    ("2001:db8::7", b"X-Originating-IP: [2001:db8::7]\r\n"),
    ("192.0.2.1, 198.51.100.2", None),
])
def test_client_ip_header(site, tmp_path, client, line):
    _, [m] = run_post(site, tmp_path, "client_ip_header\n",
                      {"REMOTE_ADDR": client})
    head = m["data"].split(b"\r\n\r\n")[0] + b"\r\n"
    if line:
        assert head.endswith(line + b"X-TARVELO: sent by web form submition "
                             b"activated CGI program.\r\n")
    else:
        assert b"X-Originating-IP" not in head
        assert (f"client_ip_header: client address ({client}) is not an IP "
                "address: no X-Originating-IP line") in site.log_messages()


def test_invalid_posts_are_not_counted_by_rate_limit(site, tmp_path):
    env = {"REMOTE_ADDR": "192.0.2.5"}
    extra = JSON_INI + "rate_limit 1\n"
    for _ in range(3):
        out, _ = run_post(site, tmp_path, extra, {**JSON_ACCEPT, **env},
                          form(Name=""))
        assert out.startswith(b"Status: 422 ")
    out, mails = run_post(site, tmp_path, extra, {**JSON_ACCEPT, **env})
    assert out == SENT and len(mails) == 1
    out, _ = run_post(site, tmp_path, extra, {**JSON_ACCEPT, **env})
    assert out.startswith(b"Status: 429 ")
