"""Shared fixtures for the end-to-end tests.

Every server started here listens on 127.0.0.1 only and is stopped when its
fixture ends.
"""
import os
import shutil
import socket
import subprocess
import time

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BIN = os.environ.get("TARVELO_BIN", os.path.join(ROOT, "build", "tarvelo"))
SANITIZE = os.environ.get("TARVELO_SANITIZE", "") in ("1", "ON", "TRUE", "true")


def multipart(fields, files, boundary="----tarveloTestBoundary7MA4YWxk"):
    """A browser's multipart/form-data body (RFC 7578) and its
    CONTENT_TYPE. files: (field name, file name, declared type, bytes)."""
    out = b""
    for name, value in fields:
        out += (f"--{boundary}\r\nContent-Disposition: form-data; "
                f'name="{name}"\r\n\r\n').encode() + value.encode() + b"\r\n"
    for name, file_name, declared, data in files:
        out += (f"--{boundary}\r\nContent-Disposition: form-data; "
                f'name="{name}"; filename="{file_name}"\r\n'
                f"Content-Type: {declared}\r\n\r\n").encode() + data + b"\r\n"
    out += f"--{boundary}--\r\n".encode()
    return out, f"multipart/form-data; boundary={boundary}"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_port(port, timeout=10.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=0.2):
                return
        except OSError:
            time.sleep(0.02)
    raise RuntimeError(f"nothing listens on 127.0.0.1:{port}")


def start_lighttpd(folder, docroot, port):
    """lighttpd in the foreground on 127.0.0.1:port serving docroot, with
    every *.cgi below /cgi-bin/ run as a CGI program. The caller stops it."""
    conf = os.path.join(folder, "lighttpd.conf")
    with open(conf, "w") as f:
        f.write(f"""server.document-root = "{docroot}"
server.bind = "127.0.0.1"
server.port = {port}
server.modules = ("mod_access", "mod_cgi")
server.errorlog = "{folder}/lighttpd.log"
# The gateway's ini, log and rate-limit state are not for visitors.
url.access-deny = (".ini", ".log", ".rate")
index-file.names = ("index.html")
mimetype.assign = (".html" => "text/html; charset=utf-8")
$HTTP["url"] =~ "^/cgi-bin/" {{ cgi.assign = (".cgi" => "") }}
""")
    return subprocess.Popen(["lighttpd", "-D", "-f", conf])


class CgiSite:
    """A folder holding the executable under another name, with its ini and
    log beside it, as a site owner lays it out in cgi-bin."""

    def __init__(self, folder, name="mailer.cgi"):
        self.folder = str(folder)
        self.exe = os.path.join(self.folder, name)
        shutil.copy(BIN, self.exe)
        base = name.split(".")[0]
        self.ini = os.path.join(self.folder, base + ".ini")
        self.log = os.path.join(self.folder, base + ".log")

    def write_ini(self, text):
        with open(self.ini, "w", newline="") as f:
            f.write(text)

    def write_file(self, name, text):
        path = os.path.join(self.folder, name)
        with open(path, "w", newline="") as f:
            f.write(text)
        return path

    def run(self, body=b"", content_length=None, args=(), env=None,
            stdin=None, timeout=30):
        """Runs the executable as a web server would and returns the
        completed process (stdout and stderr as bytes). A run with
        arguments is a run by hand: it gets no CGI environment, since a web
        server's run ignores its arguments."""
        if isinstance(body, str):
            body = body.encode()
        e = {"PATH": "/usr/bin:/bin"}
        if not args:
            e.update({"GATEWAY_INTERFACE": "CGI/1.1", "REQUEST_METHOD": "POST",
                      "CONTENT_TYPE": "application/x-www-form-urlencoded"})
        if content_length is None:
            content_length = len(body)
        if content_length is not False:
            e["CONTENT_LENGTH"] = str(content_length)
        if env:
            e.update(env)
        data = body if stdin is None else stdin
        return subprocess.run([self.exe, *args], input=data,
                              capture_output=True, env=e, cwd=self.folder,
                              timeout=timeout)

    def log_text(self):
        if not os.path.exists(self.log):
            return ""
        with open(self.log, "rb") as f:
            return f.read().decode("latin-1")

    def log_messages(self):
        """The log's messages without date stamp and pid."""
        out = []
        lines = self.log_text().split("\n")
        if lines and lines[-1] == "":
            lines.pop()
        for line in lines:
            parts = line.split(" - ", 2)
            if len(parts) == 3 and parts[1].startswith("pid("):
                out.append(parts[2])
            else:
                out.append(line)
        return out


def decode_mail(data):
    """Parses received message bytes as a mail client would (policy
    default) and returns the message and its decoded body with "\n" line
    ends. Fails on any defect the parser reports and on a wire line over
    998 characters (RFC 5322 2.1.1)."""
    from email import policy
    from email.parser import BytesParser

    assert max(len(line) for line in data.split(b"\r\n")) <= 998
    msg = BytesParser(policy=policy.default).parsebytes(data)
    assert msg.defects == []
    for name, value in msg.items():
        assert value.defects == (), (name, value.defects)
    return msg, msg.get_content().replace("\r\n", "\n")


@pytest.fixture
def site(tmp_path):
    return CgiSite(tmp_path)


class Receiver:
    """A real SMTP server (aiosmtpd) that keeps every message it accepts."""

    def __init__(self):
        from aiosmtpd.controller import Controller

        self.messages = []
        receiver = self

        class Handler:
            async def handle_DATA(self, server, session, envelope):
                receiver.messages.append({
                    "from": envelope.mail_from,
                    "rcpt": list(envelope.rcpt_tos),
                    "data": envelope.original_content,
                })
                return "250 OK"

        self.port = free_port()
        self.controller = Controller(Handler(), hostname="127.0.0.1",
                                     port=self.port)

    def start(self):
        self.controller.start()

    def stop(self):
        self.controller.stop()

    def wait_for(self, count, timeout=10.0):
        deadline = time.monotonic() + timeout
        while len(self.messages) < count and time.monotonic() < deadline:
            time.sleep(0.02)
        return self.messages


@pytest.fixture
def receiver():
    r = Receiver()
    r.start()
    yield r
    r.stop()
