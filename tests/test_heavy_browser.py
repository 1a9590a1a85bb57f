"""A visitor in a real browser: Debian's Chromium, headless, driven by
playwright-core, fills the sample form served by the demo (lighttpd and the
gateway in its cgi-bin), submits it and sees the thanks page; the mail
catcher holds the message. A screenshot of the reply page is kept under the
build folder's artifacts/.
"""
import contextlib
import json
import os
import re
import shutil
import subprocess
import tempfile
import urllib.parse

import pytest

from conftest import ROOT, decode_mail
from test_heavy_web import Demo

BROWSER_DIR = os.path.join(ROOT, "tests", "browser")
CHROMIUM = "/usr/bin/chromium"
ARTIFACTS = os.path.join(
    os.environ.get("TARVELO_BUILD_DIR") or os.path.join(ROOT, "build"),
    "artifacts")

# On a developer's machine without the browser this is skipped; in CI a
# missing browser is a missing install step, so it fails there.
_missing = [what for what, there in (
    ("chromium", os.path.exists(CHROMIUM)),
    ("node", shutil.which("node") is not None),
    ("npm", shutil.which("npm") is not None),
    ("lighttpd", shutil.which("lighttpd") is not None)) if not there]
pytestmark = pytest.mark.skipif(
    bool(_missing) and not os.environ.get("CI"),
    reason="needs %s (scripts/install-deps)" % ", ".join(_missing))


def ensure_playwright():
    """Installs playwright-core from the lock file when a fresh clone has no
    node_modules yet. It downloads no browser: the test uses Debian's."""
    if os.path.isdir(os.path.join(BROWSER_DIR, "node_modules",
                                  "playwright-core")):
        return
    subprocess.run(["npm", "ci", "--no-audit", "--no-fund"], cwd=BROWSER_DIR,
                   check=True, timeout=300)


def run_node(script, job):
    """Runs a browser script with its own short TMPDIR, removed afterwards:
    Chromium keeps its profile and singleton socket there, and a socket path
    must stay under 108 bytes (a pytest folder is too deep)."""
    folder = tempfile.mkdtemp(prefix="tarvelo-browser-")
    try:
        return subprocess.run(["node", script, json.dumps(job)],
                              cwd=BROWSER_DIR, capture_output=True, text=True,
                              timeout=120, env=dict(os.environ, TMPDIR=folder))
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def test_visitor_fills_the_form_in_chromium(tmp_path):
    ensure_playwright()
    os.makedirs(ARTIFACTS, exist_ok=True)
    screenshot = os.path.join(ARTIFACTS, "browser_success_page.png")
    if os.path.exists(screenshot):
        os.remove(screenshot)
    name = "J\u00f6hn D\u0153"
    # A two-line comment of 3,000 characters: the second line alone is far
    # over the 998 characters a mail line may hold (RFC 5322 2.1.1).
    first = "Gr\u00fc\u00dfe aus K\u00f6ln"
    second = ("Caf\u00e9 cr\u00e8me, \u0153uvre, na\u00efve. " * 100)[
        :3000 - len(first) - 1]
    fields = {
        "Name:": name,
        "Email:": "john@example.org",
        "Subject:": "Greetings",
        "Comments:": first + "\n" + second,
    }

    demo = Demo(tmp_path)
    try:
        # Without JavaScript, as the form posts when its script is off: the
        # gateway's own thanks page (the script's answer is tested below).
        job = {"url": demo.url, "screenshot": screenshot, "fields": fields,
               "javascript": False}
        run = run_node("form_test.mjs", job)
        assert run.returncode == 0, run.stdout + run.stderr
        page = json.loads(run.stdout.strip().splitlines()[-1])
        mails = demo.wait_for_mail(1)
    finally:
        demo.stop()

    assert page["status"] == 200
    assert page["url"] == demo.url + "cgi-bin/mailer.cgi"
    assert page["title"] == "Thank you"
    assert page["heading"] == "Thank you, " + name + "!"
    assert "We will answer to john@example.org soon." in page["text"]
    assert page["footer_href"] == "https://tarvelo.org/"

    assert len(mails) == 1
    with open(mails[0], "rb") as f:
        msg, body = decode_mail(f.read())
    assert msg.get_content_charset() == "utf-8"
    assert " Name: " + name + "\n" in body
    # The text area's second line continues the entry, under its first line.
    comments = " Comments: "
    assert (comments + first + "\n" + " " * len(comments) + second +
            "\n") in body

    with open(screenshot, "rb") as f:
        assert f.read(8) == b"\x89PNG\r\n\x1a\n"


def test_fetch_and_text_plain_posts_from_chromium(tmp_path):
    """fetch() with FormData, fetch() with JSON.stringify and a form with
    enctype="text/plain": each mail holds the visitor's values exactly."""
    ensure_playwright()
    comments = "Zeile eins = 50%20\nline two, caf\u00e9 \U0001F600"
    posts = []
    for kind, name in (("formdata", "F\u00f6rm \"Data\""),
                       ("json", "J\u0161on \\ Poster"),
                       ("text/plain", "Pl\u00e4in Text")):
        fields = {"Name:": name, "Email:": "visitor@example.org",
                  "Subject:": kind, "Comments:": comments}
        if kind == "text/plain":
            # A continuation line with "=" in it would start a new pair:
            # the encoding cannot tell the two apart.
            fields["Comments:"] = comments.replace(" = ", " ")
        posts.append({"kind": kind, "fields": fields})

    demo = Demo(tmp_path)
    try:
        run = run_node("post_test.mjs", {"url": demo.url, "posts": posts})
        assert run.returncode == 0, run.stdout + run.stderr
        results = json.loads(run.stdout.strip().splitlines()[-1])
        mails = demo.wait_for_mail(len(posts))
    finally:
        demo.stop()

    for post, result in zip(posts, results):
        assert result["status"] == 200, (post["kind"], result)
        assert result["heading"] == "Thank you, " + post["fields"]["Name:"] + "!"
    bodies = []
    for path in mails:
        with open(path, "rb") as f:
            bodies.append(decode_mail(f.read())[1])
    assert len(bodies) == len(posts)
    for post in posts:
        fields = post["fields"]
        first, second = fields["Comments:"].split("\n")
        expected = (" Name: " + fields["Name:"] + "\n"
                    " Email: visitor@example.org\n"
                    " Subject: " + post["kind"] + "\n"
                    " Comments: " + first + "\n" + " " * 11 + second + "\n")
        assert sum(expected in body for body in bodies) == 1, (expected, bodies)


# --- a form with files -------------------------------------------------------

def small_pdf():
    """A valid one-page PDF whose content stream holds every byte value
    (NUL, lone CR and LF, a CR LF "." CR LF), which must all arrive whole."""
    stream = bytes(range(256)) + b"\r\n.\r\n\r\r\n\x00"
    objects = [
        b"<< /Type /Catalog /Pages 2 0 R >>",
        b"<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 200 100] "
        b"/Contents 4 0 R >>",
        b"<< /Length %d >>\nstream\n" % len(stream) + stream +
        b"\nendstream",
    ]
    out = bytearray(b"%PDF-1.4\n%\xe2\xe3\xcf\xd3\n")
    offsets = []
    for number, body in enumerate(objects, 1):
        offsets.append(len(out))
        out += b"%d 0 obj\n" % number + body + b"\nendobj\n"
    xref = len(out)
    out += b"xref\n0 %d\n0000000000 65535 f \n" % (len(objects) + 1)
    for offset in offsets:
        out += b"%010d 00000 n \n" % offset
    out += (b"trailer\n<< /Size %d /Root 1 0 R >>\nstartxref\n%d\n%%%%EOF\n"
            % (len(objects) + 1, xref))
    return bytes(out)


def small_png():
    """A valid 16x16 RGB PNG (a colour ramp)."""
    import struct
    import zlib

    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data)))

    rows = b"".join(b"\x00" + b"".join(bytes((x * 16, y * 16, (x + y) * 8))
                                        for x in range(16))
                    for y in range(16))
    return (b"\x89PNG\r\n\x1a\n" +
            chunk(b"IHDR", struct.pack(">IIBBBBB", 16, 16, 8, 2, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))


FILES_PAGE = """<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>Files</title></head>
<body>
<form method="post" action="/cgi-bin/mailer.cgi"
      enctype="multipart/form-data" accept-charset="utf-8">
  <input name="Name:" type="text">
  <input name="Email:" type="email">
  <input name="Subject:" type="text">
  <textarea name="Comments:"></textarea>
  <input name="Document:" type="file">
  <input name="Photo:" type="file">
  <button type="submit">Send</button>
</form>
</body></html>
"""


def test_visitor_sends_a_pdf_and_a_png_in_chromium(tmp_path):
    import email
    import hashlib
    from email import policy

    ensure_playwright()
    files_folder = tmp_path / "chosen"
    files_folder.mkdir()
    # Names with letters beyond ASCII: the mail must carry them (RFC 2231).
    files = {"Document:": ("\u00dcbersicht.pdf", small_pdf(),
                           "application/pdf"),
             "Photo:": ("\u0444\u043e\u0442\u043e.png", small_png(),
                        "image/png")}
    paths = {}
    for field, (file_name, data, _) in files.items():
        path = files_folder / file_name
        path.write_bytes(data)
        paths[field] = str(path)
    name = "J\u00f6hn D\u0153"
    fields = {
        "Name:": name,
        "Email:": "john@example.org",
        "Subject:": "Unterlagen f\u00fcr Montag",
        # A value that looks like URL encoding arrives as typed.
        "Comments:": "Anbei 2 Dateien, 100% fertig: a+b=c&d",
    }

    demo = Demo(tmp_path)
    try:
        # The demo's document root: a form page of this test's own beside
        # the sample pages, posting to the demo's gateway and its ini.
        docroot = os.path.join(os.path.dirname(demo.mail_folder), "site")
        with open(os.path.join(docroot, "files_test.html"), "w") as f:
            f.write(FILES_PAGE)
        job = {"url": demo.url + "files_test.html", "fields": fields,
               "files": paths}
        run = run_node("files_test.mjs", job)
        assert run.returncode == 0, run.stdout + run.stderr
        page = json.loads(run.stdout.strip().splitlines()[-1])
        mails = demo.wait_for_mail(1)
    finally:
        demo.stop()

    assert page["status"] == 200
    assert page["title"] == "Thank you"
    assert page["heading"] == "Thank you, " + name + "!"

    assert len(mails) == 1
    with open(mails[0], "rb") as f:
        data = f.read()
    assert max(len(line) for line in data.split(b"\r\n")) <= 998
    msg = email.message_from_bytes(data, policy=policy.default)
    assert msg.defects == []
    assert msg.get_content_type() == "multipart/mixed"
    text, *attachments = msg.iter_parts()
    assert text.get_content_type() == "text/plain"
    body = text.get_content().replace("\r\n", "\n")
    for field, value in fields.items():
        assert " %s %s\n" % (field, value) in body, (field, body)

    got = [(part.get_filename(), part.get_content_type(),
            hashlib.sha256(part.get_payload(decode=True)).hexdigest(),
            part.get_content_disposition())
           for part in attachments]
    assert got == [(file_name, media_type, hashlib.sha256(data).hexdigest(),
                    "attachment")
                   for file_name, data, media_type in files.values()]


# --- the site's fetch() form, CORS, redirects, field rules, departments ----

@pytest.fixture(scope="module")
def demo(tmp_path_factory):
    """One demo for the tests below; each points the ini it uses at its own
    receiver and adds its own lines for the length of the test."""
    ensure_playwright()
    running = Demo(tmp_path_factory.mktemp("demo"))
    yield running
    running.stop()


@contextlib.contextmanager
def ini_lines(demo, receiver, form="mailer", lines=()):
    """The demo's form.ini sending to receiver, with lines added, for the
    length of the block."""
    path = os.path.join(os.path.dirname(demo.mail_folder), "site", "cgi-bin",
                        form + ".ini")
    with open(path) as f:
        before = f.read()
    text = re.sub(r"(?m)^smtp .*$", "smtp 127.0.0.1:%d" % receiver.port,
                  before).rstrip("\n") + "\n"
    with open(path, "w") as f:
        f.write(text + "".join(line + "\n" for line in lines))
    try:
        yield
    finally:
        with open(path, "w") as f:
            f.write(before)


def drive(job):
    run = run_node("site_test.mjs", job)
    assert run.returncode == 0, run.stdout + run.stderr
    return json.loads(run.stdout.strip().splitlines()[-1])


VISITOR = {"Name:": "Ann Lee", "Email:": "ann@example.org",
           "Subject:": "Hello", "Comments:": "A question."}


def test_fetch_form_marks_a_field_then_thanks_in_place(demo, receiver):
    with ini_lines(demo, receiver):
        # The browser takes joe@localhost as an e-mail address; the gateway
        # wants a domain with a dot.
        first, second = drive({"url": demo.url, "submissions": [
            {"fields": dict(VISITOR, **{"Email:": "joe@localhost"}),
             "inline": True},
            {"fields": VISITOR, "inline": True}]})
        mails = receiver.wait_for(1)

    assert first == {"url": demo.url, "thanks": False,
                     "outcome": "Some fields are missing or not filled in "
                                "as asked.",
                     "invalid": ["Email:"],
                     "problems": ["not an e-mail address"]}
    assert second["url"] == demo.url
    assert second["thanks"] and second["invalid"] == []
    assert len(mails) == 1
    assert " Email: ann@example.org\n" in decode_mail(mails[0]["data"])[1]


def test_cross_origin_fetch_needs_cors_origin(demo, receiver):
    # localhost and 127.0.0.1 are two origins of the same server.
    port = urllib.parse.urlparse(demo.url).port
    page = "http://localhost:%d/" % port
    target = "http://127.0.0.1:%d/cgi-bin/mailer.cgi" % port
    fetches = [{"target": target, "json": json_body, "fields": VISITOR}
               for json_body in (False, True)]
    sent = {"status": 200, "body": {"ok": True, "outcome": "sent"}}

    with ini_lines(demo, receiver,
                   lines=["cors_origin http://LocalHost:%d" % port]):
        listed = drive({"url": page, "fetches": fetches})
        listed_mails = len(receiver.wait_for(2))
    receiver.messages.clear()
    with ini_lines(demo, receiver):
        unlisted = drive({"url": page, "fetches": fetches})
        # The browser had every answer it waited for: the mails are in.
        unlisted_mails = len(receiver.messages)

    # The JSON post is asked for first (a preflight): both get through.
    assert listed == [sent, sent]
    assert listed_mails == 2
    # Without the origin listed the page's script reads nothing. The plain
    # post still reached the gateway (CORS guards reading, not sending); the
    # JSON post never left the browser, as its preflight was refused.
    assert unlisted == [{"error": "TypeError"}, {"error": "TypeError"}]
    assert unlisted_mails == 1


def test_success_redirect_lands_on_the_sites_thanks_page(demo, receiver):
    # Without JavaScript the form posts as it stands.
    with ini_lines(demo, receiver, lines=["success_redirect /thanks.html"]):
        [page] = drive({"url": demo.url, "javascript": False,
                        "submissions": [{"fields": VISITOR}]})
        mails = receiver.wait_for(1)

    assert page["url"] == demo.url + "thanks.html"
    assert (page["status"], page["title"]) == (200, "Thank you")
    assert len(mails) == 1


PLAIN_FORM = """<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>Plain</title></head>
<body>
<form method="post" action="/cgi-bin/mailer.cgi" accept-charset="utf-8">
  <input name="Name:" type="text">
  <input name="Email:" type="text">
  <button type="submit">Send</button>
</form>
</body></html>
"""


def test_empty_name_and_bad_address_give_the_invalid_page(demo, receiver):
    # No required attribute and no script: the gateway alone refuses.
    docroot = os.path.join(os.path.dirname(demo.mail_folder), "site")
    with open(os.path.join(docroot, "plain.html"), "w") as f:
        f.write(PLAIN_FORM)
    with ini_lines(demo, receiver):
        [page] = drive({"url": demo.url + "plain.html", "submissions": [
            {"fields": {"Name:": "  ", "Email:": "ann@@example.org"}}]})
        mails = list(receiver.messages)

    assert (page["status"], page["title"]) == (422, "Please check the form")
    assert ("These fields are missing or not filled in as asked: "
            "Name:, Email:.") in page["text"]
    assert mails == []


def test_department_menu_reaches_the_alias_address(demo, receiver):
    with ini_lines(demo, receiver, form="departments"):
        [page] = drive({"url": demo.url + "departments.html", "submissions": [
            {"fields": dict(VISITOR, **{"Department:": "support"}),
             "inline": True}]})
        mails = receiver.wait_for(1)

    assert page["thanks"], page
    assert len(mails) == 1
    assert mails[0]["rcpt"] == ["support@example.com"]
    msg, body = decode_mail(mails[0]["data"])
    assert msg["To"].addresses[0].addr_spec == "support@example.com"
    assert " Department: support\n" in body


# --- the demo form with a CAPTCHA ----------------------------------------

# Stands in for the provider's widget script: once the "visitor passes", it
# puts the field into the form as Turnstile's widget does.
CAPTCHA_STAND_IN = """for (const box of document.querySelectorAll('.cf-turnstile')) {
  const field = document.createElement('input');
  field.type = 'hidden';
  field.name = 'cf-turnstile-response';
  field.value = '%s';
  box.append(field);
}
"""


def test_demo_form_with_a_captcha_goes_through(tmp_path, monkeypatch):
    """scripts/demo with TARVELO_DEMO_CAPTCHA set: the page holds the widget,
    form.js posts its field with the rest, the gateway verifies the token at
    a local HTTPS verify server and the mail arrives."""
    from captcha_server import GOOD_TOKEN, VerifyServers, make_test_ca

    ensure_playwright()
    certs_folder = tmp_path / "certs"
    certs_folder.mkdir()
    servers = VerifyServers(make_test_ca(str(certs_folder)))
    try:
        provider = servers.start()
        for name, value in (("", "turnstile"), ("_SITE_KEY", "1x00000000AA"),
                            ("_SECRET", "Demo-Secret-9"),
                            ("_VERIFY_URL", provider.url),
                            ("_TLS_CA", servers.certs["ca"]),
                            ("_SCRIPT", "/captcha_stand_in.js")):
            monkeypatch.setenv("TARVELO_DEMO_CAPTCHA" + name, value)
        demo = Demo(tmp_path)
        try:
            docroot = os.path.join(os.path.dirname(demo.mail_folder), "site")
            with open(os.path.join(docroot, "captcha_stand_in.js"), "w") as f:
                f.write(CAPTCHA_STAND_IN % GOOD_TOKEN)
            [page] = drive({"url": demo.url, "submissions": [
                {"fields": VISITOR, "inline": True}]})
            mails = demo.wait_for_mail(1)
        finally:
            demo.stop()
    finally:
        servers.stop()

    assert page["thanks"], page
    assert [p["form"] for p in provider.posts] == [{
        "secret": ["Demo-Secret-9"], "response": [GOOD_TOKEN],
        "remoteip": ["127.0.0.1"]}]
    assert len(mails) == 1
    with open(mails[0], "rb") as f:
        assert " Name: Ann Lee\n" in decode_mail(f.read())[1]
