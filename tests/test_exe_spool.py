"""The spool end to end: a message cleared to send is kept in spool_folder
until a server has accepted it, and "-resend_spool" delivers what is left.

The SMTP server here is aiosmtpd on a port chosen before it runs, so a test
can post while nothing listens there and start the server afterwards.
"""
import asyncio
import concurrent.futures
import os
import random
import re
import signal
import socket
import subprocess
import threading
import time
import urllib.parse

import pytest

from conftest import free_port


class Server:
    """aiosmtpd on a given port; rcpt_reply, when set, answers every RCPT;
    each message is answered after `delay` seconds."""

    def __init__(self, port, rcpt_reply=None, delay=0):
        from aiosmtpd.controller import Controller

        self.messages = []
        server = self

        class Handler:
            async def handle_RCPT(self, srv, session, envelope, address,
                                  rcpt_options):
                if rcpt_reply:
                    return rcpt_reply
                envelope.rcpt_tos.append(address)
                return "250 OK"

            async def handle_DATA(self, srv, session, envelope):
                if delay:
                    await asyncio.sleep(delay)
                server.messages.append({
                    "from": envelope.mail_from,
                    "rcpt": list(envelope.rcpt_tos),
                    "data": envelope.original_content,
                })
                return "250 OK"

        self.controller = Controller(Handler(), hostname="127.0.0.1",
                                     port=port)

    def __enter__(self):
        self.controller.start()
        return self

    def __exit__(self, *exc):
        self.controller.stop()


def form(*pairs):
    return "&".join(urllib.parse.quote_plus(n) + "=" +
                    urllib.parse.quote_plus(v) for n, v in pairs)


CONTACT_FORM = form(("From:", "visitor@example.net"), ("Name:", "Joe <&>"),
                    ("Comments:", "line one\r\n.\r\nline three\u00e9"))

SPOOL_INI = """smtp 127.0.0.1:{port}
smtp_timeout 5
spool_folder {spool}
{queued}success_html_page {folder}/success.html
failure_html_page {folder}/failure.html
headerline To: Site Owner <owner@example.com>
use_submitted_variable_for_headerline From:
headerline BCC: hidden@example.com
headerline CC: copy@example.com
headerline Subject: Contact form
bodycontent_line Message from the web form:
use_submitted_variable_for_bodycontent Name:
use_submitted_variable_for_bodycontent Comments:
sendall true
"""


def spool_site(site, port, queued_page=True, spool=None):
    """Writes the pages and the ini; the spool folder is made unless given."""
    if spool is None:
        spool = os.path.join(site.folder, "spool")
        os.mkdir(spool)
    site.write_file("success.html", "<html><body>SENT ||Name:||</body></html>\n")
    site.write_file("failure.html", "<html><body>FAILED</body></html>\n")
    queued = ""
    if queued_page:
        site.write_file("queued.html",
                        "<html><body>QUEUED ||Name:||</body></html>\n")
        queued = f"queued_html_page {site.folder}/queued.html\n"
    site.write_ini(SPOOL_INI.format(port=port, spool=spool, queued=queued,
                                    folder=site.folder))
    return spool


def listing(folder):
    return sorted(os.listdir(folder))


def resend(site, timeout=60):
    return site.run(args=["-resend_spool"], content_length=False,
                    timeout=timeout)


NAME = re.compile(rb"^\d{8}-\d{6}-\d{6}-\d+-[0-9a-f]{8}\.mail$")


def parse_spool(data):
    """An independent reader of the spool format: the fields, or None when
    data is not exactly one complete message."""
    at = 0

    def line():
        nonlocal at
        end = data.find(b"\n", at)
        if end < 0:
            raise ValueError("cut")
        text = data[at:end]
        at = end + 1
        return text

    try:
        if line() != b"TARVELO spool file 1":
            return None
        fields = {}
        for name in (b"from", b"to", b"bcc", b"cc", b"line_end", b"header",
                     b"body"):
            key, _, value = line().partition(b" ")
            if key != name:
                return None
            if name == b"line_end" or value == b"-":
                fields[name] = value
                continue
            size = int(value)
            fields[name] = data[at:at + size]
            if len(fields[name]) != size or data[at + size:at + size + 1] != b"\n":
                return None
            at += size + 1
        if data[at:] != b"end\n":
            return None
        return fields
    except ValueError:
        return None


def test_queued_then_resent_byte_for_byte(site):
    port = free_port()  # nothing listens there yet
    spool = spool_site(site, port)
    proc = site.run(CONTACT_FORM)
    assert proc.returncode == 0
    assert b"QUEUED Joe &lt;&amp;&gt;" in proc.stdout
    assert b"Form mail by TARVELO" in proc.stdout
    (name,) = listing(spool)
    assert NAME.match(name.encode())
    # A whole message of a visitor: for the web server's user alone.
    assert os.stat(os.path.join(spool, name)).st_mode & 0o777 == 0o600
    with open(os.path.join(spool, name), "rb") as f:
        fields = parse_spool(f.read())
    assert fields[b"from"] == b"visitor@example.net"
    assert fields[b"bcc"] == b"hidden@example.com"
    assert any("queued" in m and name in m for m in site.log_messages())

    with Server(port) as server:
        proc = resend(site)
        assert proc.stdout == (f"sent {name}\n1 sent, 0 kept, 0 refused\n"
                               .encode())
        assert proc.returncode == 0
        assert listing(spool) == []
        # The same form delivered at once, for comparison.
        proc = site.run(CONTACT_FORM)
        assert b"SENT Joe" in proc.stdout
        assert listing(spool) == []
        deadline = time.monotonic() + 10
        while len(server.messages) < 2 and time.monotonic() < deadline:
            time.sleep(0.02)
    resent, direct = server.messages
    assert resent["rcpt"] == ["owner@example.com", "hidden@example.com",
                              "copy@example.com"]
    assert resent == direct
    assert b"line three\xc3\xa9" in resent["data"]


def test_without_queued_page_the_failure_page_shows(site):
    spool = spool_site(site, free_port(), queued_page=False)
    proc = site.run(CONTACT_FORM)
    assert b"FAILED" in proc.stdout
    assert len(listing(spool)) == 1


@pytest.mark.parametrize("reply,verdict,left,code", [
    ("451 4.3.0 try again later", "kept", "{name}", 3),
    ("550 5.1.1 no such user", "refused", "{name}.refused", 0),
])
def test_refusals(site, reply, verdict, left, code):
    port = free_port()
    spool = spool_site(site, port)
    site.run(CONTACT_FORM)
    (name,) = listing(spool)
    with Server(port, rcpt_reply=reply) as server:
        proc = resend(site)
    assert proc.returncode == code
    counts = {"kept": "0 sent, 1 kept, 0 refused",
              "refused": "0 sent, 0 kept, 1 refused"}[verdict]
    assert proc.stdout.decode() == (
        f"{verdict} {name}: RCPT TO:<owner@example.com> refused: {reply}\n"
        f"{counts}\n")
    assert listing(spool) == [left.format(name=name)]
    assert server.messages == []
    if verdict == "refused":
        # Never tried again, until the owner renames it back.
        with Server(port) as server:
            assert resend(site).stdout == b"0 sent, 0 kept, 0 refused\n"
            os.rename(os.path.join(spool, name + ".refused"),
                      os.path.join(spool, name))
            assert resend(site).stdout.startswith(f"sent {name}\n".encode())
            assert len(server.messages) == 1


def test_server_down_keeps_everything_and_exits_3(site):
    port = free_port()
    spool = spool_site(site, port)
    site.run(CONTACT_FORM)
    site.run(CONTACT_FORM)
    first, second = listing(spool)
    proc = resend(site)
    assert proc.returncode == 3
    out = proc.stdout.decode().splitlines()
    assert out[0] == (f"kept {first}: the SMTP email server (127.0.0.1) "
                      "did not respond")
    assert out[1].startswith(f"kept {second}: not tried, ")
    assert out[2] == "0 sent, 2 kept, 0 refused"
    assert listing(spool) == [first, second]


def post_many(site, count):
    bodies = [form(("From:", "visitor@example.net"), ("Name:", f"n{i}"),
                   ("Comments:", f"message {i}")) for i in range(count)]
    with concurrent.futures.ThreadPoolExecutor(count) as pool:
        return list(pool.map(site.run, bodies))


def test_32_concurrent_runs_then_one_resend(site):
    port = free_port()
    spool = spool_site(site, port)
    procs = post_many(site, 32)
    assert all(b"QUEUED" in p.stdout for p in procs)
    names = listing(spool)
    assert len(names) == 32 and all(NAME.match(n.encode()) for n in names)
    with Server(port) as server:
        proc = resend(site, timeout=120)
        assert proc.returncode == 0, proc.stdout
        assert proc.stdout.endswith(b"32 sent, 0 kept, 0 refused\n")
        bodies = sorted(re.search(rb"message \d+", m["data"]).group()
                        for m in server.messages)
    assert bodies == sorted(b"message %d" % i for i in range(32))
    assert listing(spool) == []


def test_resend_of_many_stays_within_the_open_file_limit(site):
    """One resend delivers each message over a connection of its own; with
    at most 16 files open at once it must still send 40 messages."""
    port = free_port()
    spool = spool_site(site, port)
    post_many(site, 40)
    assert len(listing(spool)) == 40
    with Server(port) as server:
        proc = subprocess.run(
            ["prlimit", "--nofile=16", site.exe, "-resend_spool"],
            capture_output=True, cwd=site.folder, timeout=120,
            env={"PATH": "/usr/bin:/bin"})
        assert proc.returncode == 0, proc.stdout
        assert proc.stdout.endswith(b"40 sent, 0 kept, 0 refused\n")
        assert len(server.messages) == 40
    assert listing(spool) == []


def test_two_resends_at_once_send_each_message_once(site):
    port = free_port()
    spool = spool_site(site, port)
    post_many(site, 12)
    assert len(listing(spool)) == 12
    # A slow server keeps the first resend busy long enough to overlap.
    with Server(port, delay=0.05) as server:
        with concurrent.futures.ThreadPoolExecutor(2) as pool:
            procs = list(pool.map(lambda _: resend(site), range(2)))
        time.sleep(0.2)
        bodies = [re.search(rb"message \d+", m["data"]).group()
                  for m in server.messages]
    assert sorted(bodies) == sorted(b"message %d" % i for i in range(12))
    sent = [line for p in procs for line in p.stdout.splitlines()
            if line.startswith(b"sent ")]
    assert len(sent) == 12 and len(set(sent)) == 12
    # The second pass found the folder in hand and left it at once.
    busy = (b"Another -resend_spool is at work on the spool folder %s; "
            b"this one ends.\n" % spool.encode())
    assert sorted(p.stdout == busy for p in procs) == [False, True], procs
    assert all(p.returncode == 0 for p in procs)
    assert listing(spool) == []


class SilentServer:
    """Accepts connections on 127.0.0.1 and never says a word; counts the
    connections. Stops (closing everything) when the block ends."""

    def __init__(self, port):
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", port))
        self.listener.listen(16)
        self.listener.settimeout(0.1)
        self.accepted = []
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self.serve, daemon=True)

    def serve(self):
        while not self.stop.is_set():
            try:
                self.accepted.append(self.listener.accept()[0])
            except OSError:
                pass

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.stop.set()
        self.thread.join(timeout=5)
        for conn in self.accepted:
            conn.close()
        self.listener.close()


def test_silent_server_stops_the_pass_after_one_message(site):
    port = free_port()
    spool = spool_site(site, port)
    with open(site.ini, "a") as f:
        f.write("smtp_timeout 2\n")
    for _ in range(3):
        site.run(CONTACT_FORM)
    first, second, third = listing(spool)
    with SilentServer(port) as server:
        start = time.monotonic()
        proc = resend(site)
        took = time.monotonic() - start
        assert len(server.accepted) == 1
    # One time limit, not one per message: cron passes do not pile up.
    assert took < 3.5, took
    out = proc.stdout.decode().splitlines()
    reason = "no complete reply to the connection"
    assert out == [f"kept {first}: {reason}",
                   f"kept {second}: not tried, {reason}",
                   f"kept {third}: not tried, {reason}",
                   "0 sent, 3 kept, 0 refused"]
    assert proc.returncode == 3
    assert listing(spool) == [first, second, third]


def test_a_pass_started_while_one_runs_exits_at_once(site):
    port = free_port()
    spool = spool_site(site, port)
    with open(site.ini, "a") as f:
        f.write("smtp_timeout 3\n")
    site.run(CONTACT_FORM)
    (name,) = listing(spool)
    with SilentServer(port) as server:
        first = subprocess.Popen([site.exe, "-resend_spool"],
                                 stdout=subprocess.PIPE, cwd=site.folder,
                                 env={"PATH": "/usr/bin:/bin"})
        deadline = time.monotonic() + 10
        while not server.accepted and time.monotonic() < deadline:
            time.sleep(0.01)
        assert server.accepted  # the first pass is waiting for the server
        start = time.monotonic()
        second = resend(site)
        assert time.monotonic() - start < 1.5
        first_out, _ = first.communicate(timeout=30)
    assert second.returncode == 0
    assert second.stdout == (b"Another -resend_spool is at work on the spool "
                             b"folder %s; this one ends.\n" % spool.encode())
    assert first_out.startswith(b"kept " + name.encode())
    # Nothing was lost or doubled: the next pass sends it once.
    with Server(port) as real:
        assert resend(site).stdout == f"sent {name}\n1 sent, 0 kept, 0 refused\n".encode()
        assert len(real.messages) == 1


# Entries under message names that are no message a run wrote (sorted before
# the real one); each is set aside unread, and the real message still goes.
BAD_ENTRIES = [
    ("1a.mail", "link to /dev/zero", "not a regular file"),
    ("1b.mail", "3 GB sparse file",
     "larger than 67108864 bytes, more than any message is spooled"),
    ("1c.mail", "link to a message", "not a regular file"),
    ("1d.mail", "fifo", "not a regular file"),
    ("1e.mail", "folder", "not a regular file"),
]


def test_bad_entries_are_set_aside_and_the_rest_is_sent(site, tmp_path):
    port = free_port()
    spool = spool_site(site, port)
    site.run(CONTACT_FORM)
    (good,) = listing(spool)
    elsewhere = tmp_path / "elsewhere.mail"
    with open(os.path.join(spool, good), "rb") as f:
        elsewhere.write_bytes(f.read())
    for name, kind, _ in BAD_ENTRIES:
        path = os.path.join(spool, name)
        if kind == "link to /dev/zero":
            os.symlink("/dev/zero", path)
        elif kind == "3 GB sparse file":
            with open(path, "wb") as f:
                f.truncate(3 << 30)
        elif kind == "link to a message":
            os.symlink(elsewhere, path)
        elif kind == "fifo":
            os.mkfifo(path)
        else:
            os.mkdir(path)
    with Server(port) as server:
        proc = resend(site)
        deadline = time.monotonic() + 10
        while len(server.messages) < 1 and time.monotonic() < deadline:
            time.sleep(0.02)
        assert len(server.messages) == 1  # the link's message was never sent
    assert proc.returncode == 0, proc
    out = proc.stdout.decode().splitlines()
    assert out == [f"set aside {name}: {why}; renamed {name}.unusable"
                   for name, _, why in BAD_ENTRIES] + [
        f"sent {good}", "1 sent, 0 kept, 5 refused"]
    assert listing(spool) == sorted(n + ".unusable" for n, _, _ in BAD_ENTRIES)
    # Links were renamed themselves, never through.
    assert os.readlink(os.path.join(spool, "1a.mail.unusable")) == "/dev/zero"
    assert elsewhere.exists()
    assert any(m == f"resend_spool: set aside 1a.mail: not a regular file; "
               "renamed 1a.mail.unusable" for m in site.log_messages())


@pytest.mark.parametrize("shape", ["missing", "through_a_file"])
def test_unwritable_spool_folder_still_delivers(site, receiver, shape):
    plain = site.write_file("plain", "not a folder")
    spool = {"missing": os.path.join(site.folder, "no", "such"),
             "through_a_file": os.path.join(plain, "spool")}[shape]
    spool_site(site, receiver.port, spool=spool)
    proc = site.run(CONTACT_FORM)
    assert b"SENT Joe" in proc.stdout
    assert len(receiver.wait_for(1)) == 1
    assert any(m.startswith("Could not write the spool file " + spool + "/")
               for m in site.log_messages())


def test_killed_while_writing_leaves_no_half_file(site):
    """A run is killed (SIGKILL) at random moments while its spool file is
    being written: the folder is watched until the temporary file appears,
    then the kill follows after a random pause. Whatever is left under a
    message name must be whole; at the end one resend delivers exactly
    those files."""
    port = free_port()
    spool = spool_site(site, port)
    # A big message makes the write last long enough to land in: one
    # submitted value of 1200 lines (85 kB), written as 40 body entries,
    # about 3.6 MB. (Far bigger messages are slow to compose, since the text
    # buffers grow by what each append needs.)
    big_form = CONTACT_FORM + "&Big=" + ("x" * 70 + "%0A") * 1200
    with open(site.ini, "a") as f:
        f.write("logging errors\n")
        f.write("use_submitted_variable_for_bodycontent Big\n" * 40)
    env = {"PATH": "/usr/bin:/bin", "CONTENT_LENGTH": str(len(big_form))}

    proc = site.run(big_form, timeout=60)
    assert b"QUEUED" in proc.stdout
    (complete_name,) = listing(spool)
    with open(os.path.join(spool, complete_name), "rb") as f:
        whole = f.read()
    expected = parse_spool(whole)
    assert expected is not None and len(expected[b"body"]) > 3_000_000
    os.remove(os.path.join(spool, complete_name))

    rng = random.Random(11)
    mid_write = 0  # kills that left the file under its temporary name
    cut = 0        # ... of which the file was not even fully written
    for attempt in range(25):
        before = set(listing(spool))
        child = subprocess.Popen([site.exe], stdin=subprocess.PIPE,
                                 stdout=subprocess.DEVNULL, env=env,
                                 cwd=site.folder)
        child.stdin.write(big_form.encode())
        child.stdin.close()
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline and child.poll() is None:
            if any(n.endswith(".tmp") for n in set(listing(spool)) - before):
                break
        # Writing and syncing take some 10 ms here; the pause spreads the
        # kills over that time and a little beyond.
        time.sleep(rng.uniform(0, 0.015))
        child.send_signal(signal.SIGKILL)
        child.wait()
        new = set(listing(spool)) - before
        for name in new:
            if name.endswith(".tmp"):
                mid_write += 1
                if os.path.getsize(os.path.join(spool, name)) < len(whole):
                    cut += 1
                continue
            assert NAME.match(name.encode()), name
            with open(os.path.join(spool, name), "rb") as f:
                assert parse_spool(f.read()) == expected, name
    # The kills must really have struck during writes, or this proves
    # nothing.
    assert mid_write >= 3, mid_write
    print(f"{mid_write} of 25 kills before the rename, {cut} mid-write")

    messages = [n for n in listing(spool) if n.endswith(".mail")]
    with Server(port) as server:
        proc = resend(site, timeout=300)
        assert proc.returncode == 0, proc.stdout
        assert proc.stdout.endswith(b"%d sent, 0 kept, 0 refused\n"
                                    % len(messages))
        assert len(server.messages) == len(messages)
    # Temporary files are never picked up.
    assert all(n.startswith(".") and n.endswith(".tmp")
               for n in listing(spool))
