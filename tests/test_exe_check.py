"""The -check switch through the built executable: a good ini against a
real SMTP receiver, an ini with mistakes, -offline, the services' URLs
against a local HTTPS server, the archive file's place, and that a check
writes nothing."""
import http.server
import os
import socket
import ssl
import threading
import types

import pytest

from conftest import CgiSite, free_port
from postfix_fixture import make_test_certificate

REFUSED = "nobody-here@example.com"
PAGE = "<html><body>Thanks, ||Name:||.</body></html>\n"


class Receiver:
    """aiosmtpd that refuses one recipient and notes the commands that
    would carry a message (DATA) or end a probe (RSET, QUIT)."""

    def __init__(self):
        from aiosmtpd.controller import Controller
        from aiosmtpd.smtp import SMTP

        self.messages = []
        self.commands = []
        receiver = self

        class Handler:
            async def handle_RCPT(self, server, session, envelope, address,
                                  options):
                receiver.commands.append("RCPT " + address)
                if address == REFUSED:
                    return "550 5.1.1 no such mailbox"
                envelope.rcpt_tos.append(address)
                return "250 OK"

            async def handle_DATA(self, server, session, envelope):
                receiver.messages.append(envelope.original_content)
                return "250 OK"

        class Recording(SMTP):
            async def smtp_DATA(self, arg):
                receiver.commands.append("DATA")
                return await super().smtp_DATA(arg)

            async def smtp_RSET(self, arg):
                receiver.commands.append("RSET")
                return await super().smtp_RSET(arg)

            async def smtp_QUIT(self, arg):
                receiver.commands.append("QUIT")
                return await super().smtp_QUIT(arg)

        class Recorder(Controller):
            def factory(self):
                return Recording(self.handler, **self.SMTP_kwargs)

        self.port = free_port()
        self.controller = Recorder(Handler(), hostname="127.0.0.1",
                                   port=self.port)
        self.controller.start()
        # The controller's own readiness probe said hello and QUIT.
        self.commands.clear()


@pytest.fixture
def receiver():
    r = Receiver()
    yield r
    r.controller.stop()


def good_ini(port, extra=""):
    return (f"smtp 127.0.0.1:{port}\n"
            "logging errors\n"
            "success_html_page thanks.html\n"
            "headerline From: site@example.com\n"
            "headerline To: owner@example.com\n"
            "headerline CC: copy@example.com\n"
            "headerline Subject: Form\n"
            "use_submitted_variable_for_bodycontent Name:\n" + extra)


def check(site, *args):
    listing = sorted(os.listdir(site.folder))
    done = site.run(args=("-check", *args))
    # A check creates and writes nothing: no log, no state, no spool file.
    assert sorted(os.listdir(site.folder)) == listing
    lines = done.stdout.decode().splitlines()
    assert lines and lines[-1].startswith("check: ")
    for line in lines[:-1]:
        assert line.split(": ")[0] in ("ok", "warning", "problem"), line
    return done.returncode, lines[:-1]


def test_good_ini_probes_without_data(site, receiver):
    site.write_ini(good_ini(receiver.port))
    site.write_file("thanks.html", PAGE)
    status, lines = check(site)
    assert status == 0, lines
    assert not [line for line in lines if line.startswith("problem:")]
    for step in ("connect", "greeting", "hello", "mail from",
                 "rcpt to <owner@example.com>", "rcpt to <copy@example.com>",
                 "rset", "quit"):
        assert any(line.startswith(f"ok: mail server, {step}:")
                   for line in lines), (step, lines)
    assert receiver.commands == ["RCPT owner@example.com",
                                 "RCPT copy@example.com", "RSET", "QUIT"]
    assert receiver.messages == []


def test_mistakes_are_problems(site, receiver):
    site.write_ini(good_ini(receiver.port).replace(
        "headerline CC: copy@example.com",
        f"headerline CC: {REFUSED}\nsmpt 127.0.0.1\nfailure_html_page gone.html"
        "\nsmtp_timeout soon"))
    site.write_file("thanks.html", PAGE + "||Shoe size||\n")
    status, lines = check(site)
    assert status == 1
    text = "\n".join(lines)
    for expected in (
            'problem: line 7: "smpt 127.0.0.1" is not a keyword; did you '
            'mean "smtp"?',
            'problem: line 9: "smtp_timeout soon" is not used: smtp_timeout '
            '(soon) is not a positive number of seconds, keeping 30',
            'problem: failure_html_page "gone.html" (' + site.folder +
            '/gone.html: a relative path starts at the executable\'s folder',
            "warning: success_html_page: the token ||Shoe size|| is a field "
            "no ini line names",
            f"problem: mail server, rcpt to <{REFUSED}>: 550",
            "ok: mail server, quit:"):
        assert expected in text, (expected, lines)
    assert "DATA" not in receiver.commands
    assert receiver.messages == []


@pytest.mark.parametrize("args", [("-offline",), ("-user", "nobody",
                                                  "-offline")])
def test_offline_makes_no_connection(tmp_path, args):
    # A listener that is never accepted from: a connection would queue.
    with socket.socket() as listener:
        listener.bind(("127.0.0.1", 0))
        listener.listen(1)
        listener.settimeout(0.2)
        site = CgiSite(tmp_path)
        site.write_ini(good_ini(listener.getsockname()[1]))
        site.write_file("thanks.html", PAGE)
        status, lines = check(site, *args)
        with pytest.raises(socket.timeout):
            listener.accept()
    assert status == 0, lines
    assert not [line for line in lines if "mail server" in line]
    if "nobody" in args:
        assert ("warning: the user nobody cannot write the log "
                f"{site.log}: runs would leave no record") in lines


def test_unknown_option_is_refused(site):
    site.write_ini(good_ini(1))
    done = site.run(args=("-check", "-online"))
    assert done.returncode == 1
    assert done.stdout.startswith(b"problem: unknown option -online")


def test_password_others_may_read(site):
    site.write_ini(good_ini(1, "smtp_user site\nsmtp_password Pass-Word-42\n"))
    site.write_file("thanks.html", PAGE)
    readable = ("problem: " + site.ini + " holds smtp_password and every user "
                "may read it (mode 0644): take the others' read permission "
                "away (chmod o-r)")
    for mode, status in ((0o644, 1), (0o640, 0)):
        os.chmod(site.ini, mode)
        got, lines = check(site, "-offline")
        assert got == status, lines
        assert (readable in lines) == (mode == 0o644)
        assert "Pass-Word-42" not in "\n".join(lines)


@pytest.fixture
def https_server(tmp_path):
    """An HTTPS server on 127.0.0.1 whose certificate is its own CA; notes
    every request line it is sent and answers none."""
    folder = tmp_path / "tls"
    folder.mkdir()
    cert, key = make_test_certificate(str(folder))
    requests = []

    class Handler(http.server.BaseHTTPRequestHandler):
        def parse_request(self):
            requests.append(self.raw_requestline)
            return False

    server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    server.socket = context.wrap_socket(server.socket, server_side=True)
    thread = threading.Thread(target=server.serve_forever,
                              kwargs={"poll_interval": 0.05}, daemon=True)
    thread.start()
    yield types.SimpleNamespace(port=server.server_address[1], ca=cert,
                                requests=requests)
    server.shutdown()
    server.server_close()


@pytest.mark.parametrize("trusted", [True, False])
def test_service_urls_are_probed_without_a_request(site, receiver,
                                                   https_server, trusted):
    verify = f"https://127.0.0.1:{https_server.port}/verify"
    hook = f"http://127.0.0.1:{free_port()}/hook"
    extra = ("captcha_provider turnstile\ncaptcha_secret Top-Secret-7\n"
             f"captcha_verify_url {verify}\nwebhook_url {hook}\n")
    if trusted:
        extra += f"captcha_tls_ca {https_server.ca}\n"
    site.write_ini(good_ini(receiver.port, extra))
    site.write_file("thanks.html", PAGE)
    status, lines = check(site)
    assert status == 1, lines
    verdict = [line for line in lines if "CAPTCHA verify URL" in line]
    if trusted:
        assert verdict == [
            f"ok: CAPTCHA verify URL {verify}: reachable, certificate "
            "accepted"]
    else:
        assert len(verdict) == 1 and verdict[0].startswith(
            f"problem: CAPTCHA verify URL {verify}: TLS failed (TLS "
            "certificate not trusted"), verdict
    assert (f"problem: webhook URL {hook}: no connection (Connection "
            "Refused)") in lines
    assert "Top-Secret-7" not in "\n".join(lines)
    assert https_server.requests == []


@pytest.mark.parametrize("shape, finding", [
    ("no folder", "problem: archive_file {path}: the folder {folder} does "
                  "not exist: no post would be kept"),
    ("link", "problem: archive_file {path} is a symbolic link, which a run "
             "never writes through: no post would be kept"),
    ("folder", "problem: archive_file {path} is not a regular file: no post "
               "would be kept"),
    ("readable", "warning: archive_file {path} lets every user read the "
                 "submissions (mode 0644)"),
    ("new", "ok: the user root can append to the archive {path}"),
])
def test_archive_place(site, shape, finding):
    folder = os.path.join(site.folder, "posts")
    path = os.path.join(folder, "archive.jsonl")
    if shape != "no folder":
        os.mkdir(folder)
    if shape == "link":
        os.symlink(site.write_file("elsewhere.jsonl", ""), path)
    elif shape == "folder":
        os.mkdir(path)
    elif shape == "readable":
        with open(path, "w") as f:
            f.write("{}\n")
        os.chmod(path, 0o644)
    site.write_ini(good_ini(1, "archive_file posts/archive.jsonl\n"))
    site.write_file("thanks.html", PAGE)
    before = sorted(os.listdir(folder)) if os.path.isdir(folder) else None
    status, lines = check(site, "-offline", "-user", "root")
    expected = finding.format(path=path, folder=folder)
    assert any(line.startswith(expected) for line in lines), lines
    assert status == (1 if expected.startswith("problem") else 0), lines
    after = sorted(os.listdir(folder)) if os.path.isdir(folder) else None
    assert after == before
