"""Hostile sizes and broken surroundings, end to end: the largest bodies a
visitor can post, a log that cannot be opened, a page file that is gone, and
SMTP servers that stall or hang up in the middle of a reply. Each run must end
in time with the right page, exit code and log line.

Refused connections, a server that closes at once and one that never greets
are in test_exe_smtp.py.
"""
import os
import re
import socket
import subprocess
import threading
import time

import pytest

from conftest import SANITIZE, free_port

HEAD = b"Pragma: no-cache\nContent-type: text/html\n\n"
X_LINE = b"X-TARVELO: sent by web form submition activated CGI program."
TIME = "/usr/bin/time"
MAX_BODY = 99999
# Peak resident memory of a whole run in the normal (static) build.
MAX_RSS_KB = 8 * 1024


def mail_ini(port, extra=""):
    return f"""smtp 127.0.0.1:{port}
{extra}headerline To: owner@example.com
headerline From: form@example.com
headerline Subject: Faults
"""


def run_timed(site, stdin_path, content_length, timeout=20):
    """Runs the executable with stdin read from a file (so the file offset
    afterwards tells how much it read) under /usr/bin/time, which reports the
    peak resident memory of exactly this process. Returns (completed
    process, bytes read, peak RSS in KB or None)."""
    env = {"PATH": "/usr/bin:/bin", "GATEWAY_INTERFACE": "CGI/1.1",
           "REQUEST_METHOD": "POST", "CONTENT_LENGTH": str(content_length),
           "CONTENT_TYPE": "application/x-www-form-urlencoded"}
    rss_file = os.path.join(site.folder, "rss.txt")
    # Python's own memory would count for a child it starts itself
    # (vfork), so the measuring parent is the small time program.
    args = [site.exe]
    if os.path.exists(TIME):
        args = [TIME, "-o", rss_file, "-f", "%M"] + args
    with open(stdin_path, "rb") as stdin:
        proc = subprocess.run(args, stdin=stdin, capture_output=True,
                              env=env, cwd=site.folder, timeout=timeout)
        # The child shared this open file, and with it the offset.
        consumed = stdin.tell()
    rss = None
    if os.path.exists(rss_file):
        with open(rss_file) as f:
            rss = int(f.read().split()[-1])
    return proc, consumed, rss


# --- the largest bodies -----------------------------------------------------

def text_area_body():
    """One field of 99,999 body bytes whose value is many short lines (a
    mail line may not pass 1000 characters, RFC 5321 4.5.3.1.6)."""
    unit = "y" * 61 + "%0A"
    units = (MAX_BODY - 2) // len(unit)
    body = "a=" + unit * units
    body += "z" * (MAX_BODY - len(body))
    value = ("y" * 61 + "\n") * units + "z" * (MAX_BODY - 2 - units * 64)
    return body.encode(), [("a", value)]


def oversized_body():
    """200,000 bytes whose first 99,999 are text_area_body: what comes after
    must never be read."""
    body, pairs = text_area_body()
    late = b"&late=" + b"w" * (200000 - len(body) - 6)
    return body + late, pairs


def many_pairs_body():
    """1,000 short pairs of 99 bytes each, joined by "&": 99,999 bytes."""
    pairs = [("k%03d" % i, "<" + "v" * 91) for i in range(1000)]
    body = "&".join(n + "=%3C" + v[1:] for n, v in pairs)
    return body.encode(), pairs


@pytest.mark.parametrize("make_body", [text_area_body, oversized_body,
                                       many_pairs_body])
def test_largest_bodies_are_mailed_in_bounded_memory(site, receiver,
                                                     make_body):
    body, pairs = make_body()
    assert len(body) in (MAX_BODY, 200000)
    site.write_ini(mail_ini(receiver.port, "success_html_page ok.html\n"
                                          "sendall true\n"))
    site.write_file("ok.html", "<p>Sent.</p>\n")
    stdin_path = site.write_file("body.txt", "")
    with open(stdin_path, "wb") as f:
        f.write(body)

    started = time.monotonic()
    proc, consumed, rss = run_timed(site, stdin_path, len(body))
    elapsed = time.monotonic() - started

    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == HEAD + b"<p>Sent.</p>\n"
    # The whole body is read (RFC 3875 4.2); only the first 99,999 bytes
    # are kept.
    assert consumed == len(body)
    assert elapsed < 10, elapsed
    if not SANITIZE:
        assert rss is not None, "install the time package (scripts/install-deps)"
        assert rss < MAX_RSS_KB, f"peak resident memory {rss} KB"

    (mail,) = receiver.wait_for(1)
    listing = b"".join(b"(%s)==(%s)\r\n" % (n.encode(), v.encode())
                       for n, v in pairs)
    listing = re.sub(rb"(?<!\r)\n", b"\r\n", listing)
    assert mail["data"].endswith(
        b"All variables from the submitted form:\r\n" + listing + b"\r\n")
    assert b"late" not in mail["data"]


# --- broken surroundings ----------------------------------------------------

def test_log_that_cannot_be_opened_still_mails_and_answers(site, receiver):
    os.mkdir(site.log)  # a folder where the log file should be
    site.write_ini(mail_ini(receiver.port, "success_html_page ok.html\n"))
    site.write_file("ok.html", "<p>Thanks, ||Name||.</p>\n")
    proc = site.run("Name=Ann+%26+Bob", timeout=20)
    assert proc.returncode == 0
    assert proc.stdout == HEAD + b"<p>Thanks, Ann &amp; Bob.</p>\n"
    assert len(receiver.wait_for(1)) == 1
    assert os.listdir(site.log) == []


@pytest.mark.parametrize("kind", ["success", "failure"])
def test_deleted_page_gives_the_built_in_page(site, receiver, kind):
    # The failure page is needed when the server refuses the connection.
    port = receiver.port if kind == "success" else free_port()
    page = site.write_file(kind + ".html", "<p>||Name||</p>\n")
    site.write_ini(mail_ini(port, f"{kind}_html_page {page}\n"))
    os.remove(page)
    proc = site.run("Name=Ann", timeout=20)
    message = (f'"{kind}_html_page" message file ({page}) is not readable '
               f"for the reason (2)(No such file or directory).")
    verdict = b"email sent.\n" if kind == "success" else b"email NOT sent.\n"
    assert proc.returncode == 0
    assert proc.stdout == (HEAD + b"<HTML><BODY>\n" + verdict +
                           message.encode() + b"</BODY></HTML>\n")
    messages = site.log_messages()
    assert message in messages
    assert messages[-1] == "ended."
    if kind == "success":
        assert len(receiver.wait_for(1)) == 1
    else:
        assert "wsock: (127.0.0.1) Connection Refused\n" in site.log_text()
        assert receiver.messages == []


# --- servers that misbehave -------------------------------------------------

class FaultyServer:
    """A one-connection SMTP server on a thread that plays a normal dialogue
    up to the step `fault_at` ("greeting", "RCPT", "END") and then either
    sends `partial` and hangs up, or (partial None) stalls for `stall`
    seconds without a word."""

    def __init__(self, fault_at, partial=None, stall=0.0):
        self.fault_at = fault_at
        self.partial = partial
        self.stall = stall
        self.received = b""
        self.error = None
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(1)
        self.listener.settimeout(20)
        self.port = self.listener.getsockname()[1]
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _read_until(self, conn, marker):
        while marker not in self.received[self._mark:]:
            data = conn.recv(65536)
            if not data:
                raise EOFError("client closed")
            self.received += data
        self._mark = self.received.index(marker, self._mark) + len(marker)

    def _step(self, conn, name, normal):
        if name != self.fault_at:
            conn.sendall(normal)
            return True
        if self.partial is None:
            time.sleep(self.stall)
        else:
            conn.sendall(self.partial)
        return False

    def _serve(self):
        self._mark = 0
        conn = None
        try:
            conn, _ = self.listener.accept()
            conn.settimeout(20)
            steps = [("greeting", None, b"220 ready\r\n"),
                     ("HELO", b"\r\n", b"250 hello\r\n"),
                     ("MAIL", b"\r\n", b"250 ok\r\n"),
                     ("RCPT", b"\r\n", b"250 ok\r\n"),
                     ("DATA", b"\r\n", b"354 go ahead\r\n"),
                     ("END", b"\r\n.\r\n", b"250 queued\r\n"),
                     ("QUIT", b"\r\n", b"221 bye\r\n")]
            for name, marker, reply in steps:
                if marker is not None:
                    self._read_until(conn, marker)
                if not self._step(conn, name, reply):
                    return
        except Exception as e:  # reported by finish()
            self.error = e
        finally:
            if conn is not None:
                conn.close()
            self.listener.close()

    def finish(self):
        self.thread.join(30)
        assert not self.thread.is_alive()
        if self.error:
            raise self.error


FAILURE_PAGE = "<p>Sorry, ||Name||.</p>\n"


@pytest.mark.parametrize("fault_at,partial,logged", [
    # Hung up in the middle of a line, and between the lines, of a reply.
    ("greeting", b"220-mail.example ESMTP\r\n220 rea",
     "SMTP server gave no complete reply to the connection"),
    ("RCPT", b"250-ok\r\n",
     "SMTP server gave no complete reply to RCPT TO:<owner@example.com>"),
    # The message went out, but its acceptance never came whole.
    ("END", b"250 queued as 12",
     "SMTP server gave no complete reply to the message"),
])
def test_server_hangs_up_inside_a_reply(site, fault_at, partial, logged):
    server = FaultyServer(fault_at, partial=partial)
    site.write_ini(mail_ini(server.port, "failure_html_page sorry.html\n"
                                         "smtp_timeout 10\n"))
    site.write_file("sorry.html", FAILURE_PAGE)
    started = time.monotonic()
    proc = site.run("Name=%3Cb%3EAnn", timeout=20)
    elapsed = time.monotonic() - started
    server.finish()
    assert proc.returncode == 0
    assert proc.stdout == HEAD + b"<p>Sorry, &lt;b&gt;Ann.</p>\n"
    # A closed connection is seen at once, not at the time limit.
    assert elapsed < 5, elapsed
    messages = site.log_messages()
    assert logged in messages
    assert messages[-1] == "ended."
    if fault_at == "END":
        assert server.received.endswith(b"\r\n.\r\n")


def test_server_that_stalls_after_data(site):
    server = FaultyServer("END", stall=4)
    site.write_ini(mail_ini(server.port, "failure_html_page sorry.html\n"
                                         "smtp_timeout 2\n"))
    site.write_file("sorry.html", FAILURE_PAGE)
    started = time.monotonic()
    proc = site.run("Name=Ann", timeout=20)
    elapsed = time.monotonic() - started
    assert proc.returncode == 0
    assert proc.stdout == HEAD + b"<p>Sorry, Ann.</p>\n"
    # The limit covers the whole dialogue, from connecting on.
    assert 1.9 <= elapsed < 4, elapsed
    # Stalled with the whole message in hand.
    assert server.received.endswith(b"\r\n.\r\n")
    log = site.log_text()
    assert "wsock: (TCPdoread failed) Timedout\n" in log
    assert "SMTP server gave no complete reply to the message" in \
        site.log_messages()
    server.finish()
