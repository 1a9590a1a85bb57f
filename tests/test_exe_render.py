"""tarvelo -render FILE: a post judged, composed and shown as a run would
send and answer it, while nothing is sent, spooled, counted or logged."""
import os
import re
import socket

from conftest import CgiSite

GOLDEN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "fixtures",
                      "render", "sent.out")
# TARVELO_RECORD_RENDER=1 writes the golden file instead of comparing.
RECORD = os.environ.get("TARVELO_RECORD_RENDER") == "1"

INI = """smtp 127.0.0.1:{port}
logging debug
add_standard_headers
spool_folder spool
rate_limit 1
success_html_page ok.html
failure_html_page bad.html
headerline From: form@example.com
use_submitted_variable_for_headerline To:
headerline Subject: Contact
use_submitted_variable_for_bodycontent Name:
headerline .X-Dot: a line that starts with a dot
use_submitted_variable_for_bodycontent Email
email_field Email
{extra}"""
BODY = (b"To%3A=owner%40example.com&Name%3A=Jo+%3Cb%3E"
        b"&Email=jo%40example.com")


def listing(folder):
    return sorted(os.path.relpath(os.path.join(top, name), folder)
                  for top, dirs, files in os.walk(folder)
                  for name in dirs + files)


def render(tmp_path, extra="", body=BODY, env=None, path="body.txt",
           ini=True):
    """Runs -render on body in a site whose smtp port listens but must never
    be connected to; returns the process. Checks that nothing was written
    (no log, spool or rate file, here or in the temporary folder) and that
    no connection was made."""
    (tmp_path / "cgi").mkdir(parents=True)
    site = CgiSite(tmp_path / "cgi")
    os.mkdir(os.path.join(site.folder, "spool"))
    temp = tmp_path / "temp"
    temp.mkdir()
    site.write_file("ok.html", "<p>Thank you, ||Name:||.</p>\n")
    site.write_file("bad.html", "<p>Not sent: ||_invalid_fields||</p>\n")
    with open(os.path.join(site.folder, "body.txt"), "wb") as f:
        f.write(body)
    with socket.socket() as server:
        server.bind(("127.0.0.1", 0))
        server.listen()
        if ini:
            site.write_ini(INI.format(port=server.getsockname()[1],
                                      extra=extra))
        before = listing(tmp_path)
        result = site.run(args=("-render", path),
                          env={"REMOTE_ADDR": "192.0.2.7", "TMPDIR": str(temp),
                               **(env or {})})
        server.setblocking(False)
        try:
            server.accept()
            assert False, "-render connected to the SMTP server"
        except BlockingIOError:
            pass
    assert listing(tmp_path) == before
    return result


def masked(out):
    out = re.sub(rb"\r\nDate: [^\r]*\r\n", b"\r\nDate: <masked>\r\n", out)
    return re.sub(rb"\r\nMessage-ID: <[^>\r]*>\r\n",
                  b"\r\nMessage-ID: <masked>\r\n", out)


def test_render_prints_envelope_data_verdict_and_reply(tmp_path):
    result = render(tmp_path)
    assert result.returncode == 0
    assert result.stderr == b""
    out = masked(result.stdout)
    if RECORD:
        with open(GOLDEN, "wb") as f:
            f.write(out)
    with open(GOLDEN, "rb") as f:
        assert out == f.read()


# what, extra ini lines, env, body, the output from the verdict on
CASES = [
    ("invalid field: 422 page", "", {},
     b"To%3A=owner%40example.com&Email=jo", None,
     b"-- verdict --\nverdict: invalid fields (Email: not an e-mail address)"
     b"\n-- reply --\nStatus: 422 Unprocessable Content\nPragma: no-cache\n"
     b"Content-type: text/html\n\n<p>Not sent: Email</p>\n"),
    ("JSON accepted", "json_replies", {"HTTP_ACCEPT": "application/json"},
     BODY, b"RCPT TO:<owner@example.com>\n",
     b"-- verdict --\nverdict: sent\n-- reply --\nStatus: 200 OK\n"
     b"Content-Type: application/json; charset=utf-8\n"
     b"Cache-Control: no-store\nVary: Accept\n\n"
     b"{\"ok\":true,\"outcome\":\"sent\"}\n"),
    ("recipient outside the allow-list", "allowed_recipient @example.org",
     {}, BODY, b"RCPT TO:<owner@example.com>\n",
     b"-- verdict --\nverdict: recipient not allowed (owner@example.com)\n"
     b"-- reply --\nPragma: no-cache\nContent-type: text/html\n\n"
     b"<p>Not sent: </p>\n"),
    ("honeypot filled", "honeypot_field website", {},
     BODY + b"&website=x", b"RCPT TO:<owner@example.com>\n",
     b"-- verdict --\nverdict: honeypot filled: dropped quietly\n"
     b"-- reply --\nPragma: no-cache\nContent-type: text/html\n\n"
     b"<p>Thank you, Jo &lt;b&gt;.</p>\n"),
    ("file type refused, JSON", "json_replies",
     {"HTTP_ACCEPT": "application/json",
      "CONTENT_TYPE": "multipart/form-data; boundary=XyZ"},
     b"--XyZ\r\nContent-Disposition: form-data; name=\"Upload:\"; "
     b"filename=\"x.exe\"\r\n\r\nMZ\r\n--XyZ--\r\n", None,
     b"-- verdict --\nverdict: file type not allowed (Upload:)\n-- reply --\n"
     b"Status: 422 Unprocessable Content\n"
     b"Content-Type: application/json; charset=utf-8\n"
     b"Cache-Control: no-store\nVary: Accept\n\n{\"ok\":false,"
     b"\"outcome\":\"invalid\",\"error\":\"Some fields are missing or not "
     b"filled in as asked.\",\"fields\":{\"Upload:\":\"file type not "
     b"allowed\"}}\n"),
    # The CAPTCHA is judged without the call to the provider.
    ("CAPTCHA token present", "captcha_provider hcaptcha\n"
     "captcha_secret s3cret", {}, BODY + b"&h-captcha-response=tok", b"RCPT",
     b"-- verdict --\nverdict: sent (CAPTCHA token in h-captcha-response not "
     b"checked by -render)\n-- reply --\nPragma: no-cache\n"
     b"Content-type: text/html\n\n<p>Thank you, Jo &lt;b&gt;.</p>\n"),
    ("CAPTCHA token missing", "captcha_provider turnstile\n"
     "captcha_secret s3cret", {}, BODY, None,
     b"-- verdict --\nverdict: invalid fields (captcha: required): no CAPTCHA "
     b"token in cf-turnstile-response\n-- reply --\n"
     b"Status: 422 Unprocessable Content\nPragma: no-cache\n"
     b"Content-type: text/html\n\n<p>Not sent: captcha</p>\n"),
    ("not a form", "", {"CONTENT_TYPE": "image/png"}, b"\x89PNG", None,
     b"-- verdict --\nverdict: form not read (the body type is not a form)\n"
     b"-- reply --\nPragma: no-cache\nContent-type: text/html\n\n"
     b"<p>Not sent: </p>\n"),
]


def test_render_verdicts_and_replies(tmp_path):
    for i, (what, extra, env, body, envelope, tail) in enumerate(CASES):
        result = render(tmp_path / str(i), extra, body, env)
        assert result.returncode == 0, what
        out = result.stdout
        assert out.endswith(tail), (what, out)
        if envelope is None:
            assert out.startswith(b"-- envelope --\n(no message)\n-- data --\n"
                                  b"(no message)\n-- verdict --"), what
        else:
            assert envelope in out.split(b"-- data --")[0], what


def test_render_of_an_unreadable_file_fails(tmp_path):
    for path, ini, said in (("missing.txt", True, b"cannot read missing.txt"),
                            ("spool", True, b"cannot read spool"),
                            ("body.txt", False, b"cannot read the ini file")):
        result = render(tmp_path / path, path=path, ini=ini)
        assert result.returncode != 0, path
        assert result.stdout == b"", path
        assert said in result.stderr, path
