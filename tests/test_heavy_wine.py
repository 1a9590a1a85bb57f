"""The Windows executable end to end under Wine: built with mingw-w64 from
the same sources, run with the CGI environment and the form on standard
input, delivering through the real Windows Sockets to an SMTP server on
127.0.0.1.

The Linux build runs the same request beside it, so the message bytes, the
page and the log can be compared one for one. The Wine prefix lives in the
Windows build folder and is made once (wineboot takes a while).

Without Wine or mingw-w64 the tests skip with the reason, except under CI,
where a missing package is a failure; a Wine that is installed but cannot
start skips everywhere with what it said.
"""
import glob
import os
import re
import shutil
import socket
import subprocess
import tempfile
import time
import urllib.parse
from concurrent.futures import ThreadPoolExecutor

import pytest

from conftest import ROOT, CgiSite, free_port

WIN_DIR = os.environ.get("TARVELO_WIN_BUILD_DIR",
                         os.path.join(ROOT, "build-win"))
WIN_EXE = os.path.join(WIN_DIR, "tarvelo.exe")
PREFIX = os.path.join(WIN_DIR, "wine-prefix")


def missing(what):
    if os.environ.get("CI"):
        pytest.fail(f"{what} (scripts/install-deps installs it)")
    pytest.skip(what)


def wine_env():
    env = dict(os.environ)
    env.update({"WINEPREFIX": PREFIX, "WINEDEBUG": "-all",
                # No Mono or Gecko: wineboot would offer to download them.
                "WINEDLLOVERRIDES": "mscoree,mshtml="})
    env.pop("DISPLAY", None)
    return env


def build_exe():
    if shutil.which("x86_64-w64-mingw32-g++") is None:
        if os.path.exists(WIN_EXE):
            return
        missing("x86_64-w64-mingw32-g++ not found: install g++-mingw-w64-x86-64")
    # Incremental, so a stale tarvelo.exe is never tested.
    build = subprocess.run([os.path.join(ROOT, "scripts", "build-windows"),
                            WIN_DIR], capture_output=True, text=True,
                           timeout=600)
    assert build.returncode == 0, build.stdout + build.stderr


def wine_run(args, env, body=None, cwd=None, timeout=60):
    """Runs a program under Wine and returns the completed process (stdout
    and stderr as bytes). The output goes through files, not pipes: the
    Wine services that the first program starts inherit its handles and
    live as long as the wineserver, so a pipe would never reach its end."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        proc = subprocess.run(["wine", *args], input=body, stdout=out,
                              stderr=err, env=env, cwd=cwd, timeout=timeout)
        out.seek(0)
        err.seek(0)
        return subprocess.CompletedProcess(proc.args, proc.returncode,
                                           out.read(), err.read())


@pytest.fixture(scope="module")
def wine():
    if shutil.which("wine") is None:
        missing("wine not found: install wine and wine64")
    build_exe()
    env = wine_env()
    os.makedirs(PREFIX, exist_ok=True)
    # One wineserver for the whole module instead of one per run.
    subprocess.run(["wineserver", "-p"], env=env, check=False)
    try:
        if not os.path.exists(os.path.join(PREFIX, "system.reg")):
            boot = wine_run(["wineboot", "--init"], env, timeout=300)
            if boot.returncode != 0:
                pytest.skip(f"Wine cannot start here: wineboot --init exited "
                            f"{boot.returncode}: {boot.stderr[-500:]!r}")
        # Wine's own command prompt: whether Wine runs at all, apart from
        # whether tarvelo.exe works.
        probe = wine_run(["cmd.exe", "/c", "echo", "wine-runs"], env,
                         timeout=120)
        if probe.returncode != 0 or b"wine-runs" not in probe.stdout:
            pytest.skip(f"Wine cannot start here: cmd.exe exited "
                        f"{probe.returncode}: {probe.stderr[-500:]!r}")
        yield env
    finally:
        subprocess.run(["wineserver", "-k"], env=env, check=False)
        subprocess.run(["wineserver", "-w"], env=env, check=False)
        remove_server_folder()


def remove_server_folder():
    """The stopped wineserver leaves its socket folder, named after the
    prefix's device and inode, in a /tmp/wine-* folder of its own."""
    st = os.stat(PREFIX)
    name = f"server-{st.st_dev:x}-{st.st_ino:x}"
    for top in glob.glob(os.path.join(tempfile.gettempdir(), "wine-*")):
        shutil.rmtree(os.path.join(top, name), ignore_errors=True)
        try:
            os.rmdir(top)  # only when nothing else is in it
        except OSError:
            pass


class WineSite(CgiSite):
    """The site folder with tarvelo.exe in it, run through Wine."""

    def __init__(self, folder, env):
        os.makedirs(folder, exist_ok=True)
        self.wine_env = env
        self.folder = str(folder)
        self.exe = os.path.join(self.folder, "mailer.exe")
        shutil.copy(WIN_EXE, self.exe)
        self.ini = os.path.join(self.folder, "mailer.ini")
        self.log = os.path.join(self.folder, "mailer.log")

    def run(self, body=b"", args=(), env=None, timeout=60):
        e = dict(self.wine_env)
        for name in ("CONTENT_LENGTH", "CONTENT_TYPE", "REQUEST_METHOD",
                     "GATEWAY_INTERFACE", "REMOTE_ADDR"):
            e.pop(name, None)
        if not args:
            e.update({"GATEWAY_INTERFACE": "CGI/1.1", "REQUEST_METHOD": "POST",
                      "CONTENT_TYPE": "application/x-www-form-urlencoded",
                      "CONTENT_LENGTH": str(len(body))})
        e.update(env or {})
        return wine_run([self.exe, *args], e, body, self.folder, timeout)


@pytest.fixture
def sites(tmp_path, wine):
    """A Linux site and a Windows site with the same files."""
    os.makedirs(tmp_path / "linux")
    return CgiSite(tmp_path / "linux"), WineSite(tmp_path / "windows", wine)


def form(*pairs):
    return "&".join(urllib.parse.quote_plus(n) + "=" + urllib.parse.quote_plus(v)
                    for n, v in pairs).encode()


INI = """smtp 127.0.0.1:{port}
logging debug
hello_method EHLO
success_html_page ok.html
failure_html_page fail.html
headerline To: Site Owner <owner@example.com>
use_submitted_variable_for_headerline From:
headerline CC: copy@example.com
headerline Subject: Contact form
bodycontent_line Message from the web form:
use_submitted_variable_for_bodycontent Name:
use_submitted_variable_for_bodycontent Comments:
sendall true
"""
OK_PAGE = "<html><body>\n<p>Thank you, ||Name:||.</p>\n</body></html>\n"
FAIL_PAGE = "<html><body>\n<p>Sorry.</p>\n</body></html>\n"

# Raw bytes a text-mode standard input would change: a carriage return
# before a line feed loses its CR, and Ctrl-Z ends the input there.
RAW = b"&Raw\r\nName=a\x1ab\r\n"
BODY = form(("From:", "visitor@example.net"), ("Name:", "Joe"),
            ("Comments:", "line one\r\nline two\n.\n..dots\r\nlast")) + RAW


def lay_out(site, ini):
    site.write_ini(ini)
    site.write_file("ok.html", OK_PAGE)
    site.write_file("fail.html", FAIL_PAGE)


def comparable(messages, site):
    """Log messages with what may differ between two runs made equal: the
    site's own paths and the socket numbers of the trace."""
    out = []
    for m in messages:
        m = m.replace(site.folder.replace("/", "\\"), "<site>")
        m = m.replace(site.folder, "<site>").replace("Z:<site>", "<site>")
        m = m.replace("<site>\\", "<site>/")
        m = re.sub(r"^(SEND|SENT|RECV)\(\d+\)", r"\1(s)", m)
        m = m.replace("mailer.exe", "mailer.cgi")
        out.append(m)
    return out


def test_delivers_same_bytes_page_and_log_as_linux(sites, receiver):
    linux, windows = sites
    for site in sites:
        lay_out(site, INI.format(port=receiver.port))
    on_linux = linux.run(BODY)
    on_windows = windows.run(BODY)
    assert on_windows.returncode == 0, on_windows.stderr
    assert on_linux.returncode == 0, on_linux.stderr

    linux_msg, windows_msg = receiver.wait_for(2)
    assert windows_msg["from"] == "visitor@example.net"
    assert windows_msg["rcpt"] == ["owner@example.com", "copy@example.com"]
    assert windows_msg == linux_msg
    # Binary standard input: the raw CR LF in the field name and the Ctrl-Z
    # in its value reached the message.
    assert b"(Raw\r\nName)==(a\x1ab\r\n)" in windows_msg["data"]

    # Standard output is in text mode: each "\n" of the page goes out as
    # CR LF, and nothing else changes.
    assert b"Thank you, Joe." in on_linux.stdout
    assert b"\r\n" not in on_linux.stdout
    assert on_windows.stdout == on_linux.stdout.replace(b"\n", b"\r\n")

    # The log beside mailer.exe, named after it; the ini beside it was read
    # (debug lines and the trace are there), and the run says what Linux says.
    windows_log = windows.log_messages()
    assert any(m.startswith("Ini file == Z:\\") and m.endswith("mailer.ini")
               for m in windows_log), windows_log
    assert "ended." in windows_log
    assert comparable(windows_log, windows) == comparable(
        linux.log_messages(), linux)


def test_version_line_in_text_mode(wine):
    proc = wine_run([WIN_EXE, "-version"], wine)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.endswith(b" Version: 1.0y\r\n"), proc.stdout
    assert b"\n" not in proc.stdout.replace(b"\r\n", b"")


def test_refused_connection_logs_10061(sites):
    _, windows = sites
    lay_out(windows, INI.format(port=free_port()))  # nothing listens there
    proc = windows.run(BODY)
    assert proc.returncode == 0, proc.stderr
    assert b"Sorry." in proc.stdout
    log = windows.log_text()
    assert "wsock: (127.0.0.1) Connection Refused\n" in log
    assert "SMTP email server (127.0.0.1) did not respond.\n" in log


def test_implicit_tls_to_a_plain_server_sends_nothing(sites, receiver):
    _, windows = sites
    lay_out(windows, INI.format(port=receiver.port) + "smtp_tls implicit\n")
    proc = windows.run(BODY)
    assert proc.returncode == 0, proc.stderr
    assert b"Sorry." in proc.stdout
    assert "TLS handshake failed with the SMTP server (127.0.0.1): the " \
           "server does not speak TLS on this port" in windows.log_text()
    assert receiver.messages == []


def test_silent_server_ends_by_the_time_limit(sites):
    _, windows = sites
    with socket.socket() as listener:
        listener.bind(("127.0.0.1", 0))
        listener.listen(1)  # accepted by the kernel, never answered
        port = listener.getsockname()[1]
        lay_out(windows, INI.format(port=port) + "smtp_timeout 2\n")
        started = time.monotonic()
        proc = windows.run(BODY)
        elapsed = time.monotonic() - started
    assert proc.returncode == 0, proc.stderr
    assert b"Sorry." in proc.stdout
    assert 1.9 <= elapsed < 6, elapsed
    assert "wsock: (TCPdoread failed) Timedout\n" in windows.log_text()


def windows_path(path):
    """The path as a Windows program names it: Wine shows / as drive Z:."""
    return "Z:" + str(path).replace("/", "\\")


def test_spool_keeps_then_resends(sites):
    _, windows = sites
    port = free_port()  # nothing listens there yet
    spool = os.path.join(windows.folder, "spool")
    os.mkdir(spool)
    windows.write_file("queued.html", "<html>QUEUED ||Name:||</html>\n")
    lay_out(windows, INI.format(port=port) +
            f"smtp_timeout 5\nspool_folder {windows_path(spool)}\n"
            "queued_html_page queued.html\n")
    proc = windows.run(BODY)
    assert proc.returncode == 0, proc.stderr
    assert b"QUEUED Joe" in proc.stdout
    (name,) = os.listdir(spool)
    assert re.fullmatch(r"\d{8}-\d{6}-\d{6}-\d+-[0-9a-f]{8}\.mail", name)

    from test_exe_spool import Server
    with Server(port) as server:
        proc = windows.run(args=["-resend_spool"])
        assert proc.returncode == 0, proc.stderr
        assert proc.stdout == (f"sent {name}\r\n1 sent, 0 kept, 0 refused\r\n"
                               .encode())
        # The resend held the file locked, read it, delivered it and removed
        # it while still holding it.
        assert os.listdir(spool) == []
        deadline = time.monotonic() + 10
        while not server.messages and time.monotonic() < deadline:
            time.sleep(0.02)
    (msg,) = server.messages
    assert b"(Raw\r\nName)==(a\x1ab\r\n)" in msg["data"]


@pytest.fixture
def lock_holder(wine):
    """Starts wine_lock_holder.exe on a file; yields a function that takes
    the path and returns once the lock is held, and a release function."""
    source = os.path.join(ROOT, "tests", "wine_lock_holder.c")
    exe = os.path.join(WIN_DIR, "wine_lock_holder.exe")
    if (not os.path.exists(exe) or
            os.path.getmtime(exe) < os.path.getmtime(source)):
        subprocess.run(["x86_64-w64-mingw32-gcc", "-O2", "-Wall", "-Werror",
                        "-static", "-o", exe, source], check=True)
    holders = []

    def hold(path):
        # The Wine services run already (the fixture started them), so this
        # pipe is not inherited by anything that outlives the holder.
        proc = subprocess.Popen(["wine", exe, windows_path(path)], env=wine,
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        holders.append(proc)
        assert proc.stdout.readline() == b"locked\r\n"
        return proc

    def release(proc):
        proc.stdin.close()
        assert proc.wait(timeout=30) == 0

    yield hold, release
    for proc in holders:
        if proc.poll() is None:
            proc.kill()
            proc.wait()


def test_rate_limit_waits_for_the_state_file_lock(sites, receiver,
                                                  lock_holder):
    hold, release = lock_holder
    _, windows = sites
    lay_out(windows, INI.format(port=receiver.port) + "rate_limit 3\n")
    holder = hold(os.path.join(windows.folder, "mailer.rate"))
    with ThreadPoolExecutor(max_workers=1) as pool:
        run = pool.submit(windows.run, BODY, env={"REMOTE_ADDR": "192.0.2.9"})
        time.sleep(1.5)
        # The count cannot be read while another process holds the lock.
        assert not run.done()
        release(holder)
        proc = run.result(timeout=30)
    assert b"Thank you, Joe." in proc.stdout
    assert len(receiver.wait_for(1)) == 1


def test_resend_steps_round_a_locked_spool_file(sites, lock_holder):
    hold, release = lock_holder
    _, windows = sites
    spool = os.path.join(windows.folder, "spool")
    os.mkdir(spool)
    lay_out(windows, INI.format(port=free_port()) +
            f"smtp_timeout 5\nspool_folder {windows_path(spool)}\n")
    windows.run(BODY)
    (name,) = os.listdir(spool)
    holder = hold(os.path.join(spool, name))
    # A run that is still delivering it holds it so: not this resend's to
    # touch, and no error either.
    proc = windows.run(args=["-resend_spool"])
    assert proc.stdout == b"0 sent, 0 kept, 0 refused\r\n", proc.stdout
    assert os.listdir(spool) == [name]
    release(holder)


# --- TLS and AUTH through Schannel ------------------------------------------
# Wine's Schannel is real TLS (GnuTLS beneath); the chain and the names are
# checked by tarvelo.exe itself, through Wine's crypt32.


@pytest.fixture(scope="module")
def tls_certs(tmp_path_factory):
    from test_exe_tls import make_certificate
    folder = str(tmp_path_factory.mktemp("wine-certs"))
    return {
        "good": make_certificate(folder, "good", "/CN=localhost",
                                 "DNS:localhost,IP:127.0.0.1"),
        # Only an address: Wine's own SSL policy would ignore it.
        "ip": make_certificate(folder, "ip", "/CN=ip-only", "IP:127.0.0.1"),
        "other": make_certificate(folder, "other", "/CN=other.example",
                                  "DNS:other.example"),
    }


# mode, server's certificate, host, smtp_tls, smtp_tls_ca, what the log says
TLS_CASES = {
    "starttls_auth": ("starttls", "good", "localhost", "starttls", "good",
                      "TLS started with localhost: TLSv1."),
    "implicit_auth": ("implicit", "good", "localhost", "implicit", "good",
                      "TLS started with localhost: TLSv1."),
    "ip_entry_only": ("starttls", "ip", "127.0.0.1", "starttls", "ip",
                      "TLS started with 127.0.0.1: TLSv1."),
    "another_host": ("starttls", "other", "localhost", "starttls", "other",
                     "TLS host name mismatch: the certificate of the SMTP "
                     "server is not made out for localhost"),
    "another_address": ("starttls", "other", "127.0.0.1", "starttls", "other",
                        "TLS host name mismatch: the certificate of the SMTP "
                        "server is not made out for 127.0.0.1"),
    "address_not_a_name": ("implicit", "ip", "localhost", "implicit", "ip",
                           "TLS host name mismatch"),
    "ca_of_another": ("implicit", "good", "localhost", "implicit", "other",
                      "TLS certificate not trusted: the certificate of the "
                      "SMTP server (localhost) does not lead to a CA in Z:"),
    "self_signed_no_ca": ("implicit", "good", "localhost", "implicit", None,
                          "TLS certificate not trusted: the certificate of the "
                          "SMTP server (localhost) does not lead to a CA in "
                          "the system's CA store"),
    "no_starttls": ("plain", None, "localhost", "starttls", "good",
                    "STARTTLS not offered by the SMTP server (localhost)"),
}


# aiosmtpd warns about AUTH on a connection it does not know is TLS: the
# implicit TLS server, which is TLS from the first byte.
@pytest.mark.filterwarnings("ignore:Requiring AUTH while not requiring")
@pytest.mark.parametrize("case", TLS_CASES)
def test_tls_and_auth_through_schannel(sites, tls_certs, case):
    from test_exe_tls import (FORM, SECRETS, USER, TlsReceiver, credentials,
                              ini)
    mode, cert, host, tls, ca, logged = TLS_CASES[case]
    delivers = logged.startswith("TLS started")
    server = TlsReceiver(mode, tls_certs[cert] if cert else None,
                         auth=mode != "plain")
    try:
        _, windows = sites
        ca_path = windows_path(tls_certs[ca][0]) if ca else None
        windows.write_ini(ini(host, server.port, credentials(tls, ca_path)))
        proc = windows.run(FORM.encode())
    finally:
        server.stop()
    assert proc.returncode == 0, proc.stderr
    log = windows.log_text()
    for secret in SECRETS:
        assert secret not in log
        assert secret.encode() not in proc.stdout
    assert logged in log, log
    if delivers:
        assert b"email sent." in proc.stdout, log
        assert len(server.messages) == 1 and server.messages[0]["tls"]
        assert server.messages[0]["login"] == USER
        assert b"hello over TLS" in server.messages[0]["data"]
        assert "********" in log
    else:
        assert b"email NOT sent." in proc.stdout, log
        assert server.logins == [] and server.mail_from == []
        assert "{AUTH" not in log


def test_tls_handshake_ends_by_the_time_limit(sites, tls_certs):
    _, windows = sites
    with socket.socket() as listener:
        listener.bind(("127.0.0.1", 0))
        listener.listen(1)  # accepted by the kernel, never answered
        port = listener.getsockname()[1]
        lay_out(windows, INI.format(port=port) + "smtp_timeout 2\n"
                "smtp_tls implicit\nsmtp_tls_ca "
                + windows_path(tls_certs["good"][0]) + "\n")
        started = time.monotonic()
        proc = windows.run(BODY)
        elapsed = time.monotonic() - started
    assert proc.returncode == 0, proc.stderr
    assert b"Sorry." in proc.stdout
    assert 1.9 <= elapsed < 6, elapsed
    assert "TLS handshake failed with the SMTP server (127.0.0.1): no answer " \
           "within the time limit (smtp_timeout)" in windows.log_text()
