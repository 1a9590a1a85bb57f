"""A private Postfix instance for the end-to-end tests.

Everything lives in one scratch folder: its own configuration (run with
`postfix -c DIR/etc`), queue, data directory, log file and Maildir delivery.
It listens on a free port of 127.0.0.1 only and touches nothing of the
system's mail setup (/etc/postfix is only read, for postfix-files).

The server is as strict as current Postfix gets about the two things a form
gateway most easily gets wrong: bare line feeds in the message
(smtpd_forbid_bare_newline = reject, with no exclusions) and commands sent
before the reply to the previous one (smtpd_forbid_unauth_pipelining).

Use it as the pytest fixture `postfix` (import it into a test module), or by
hand: `python3 postfix_fixture.py` starts one and stops it on Enter.
"""
import os
import pwd
import shutil
import socket
import subprocess
import tempfile
import time

import pytest

DOMAIN = "test.example"
# The local parts that get a Maildir of their own.
MAILBOXES = ("owner", "hidden", "copy")


def _free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def postfix_version():
    out = subprocess.run(["postconf", "-h", "mail_version"],
                         capture_output=True, text=True)
    return out.stdout.strip() if out.returncode == 0 else None


def _knows_parameter(name):
    out = subprocess.run(["postconf", "-d", name], capture_output=True,
                         text=True)
    return out.returncode == 0 and "unknown parameter" not in out.stderr


MASTER_CF = """\
# service type  private unpriv  chroot  wakeup  maxproc command
{port} inet  n       -       n       -       -       smtpd
pickup    unix  n       -       n       60      1       pickup
cleanup   unix  n       -       n       -       0       cleanup
qmgr      unix  n       -       n       300     1       qmgr
rewrite   unix  -       -       n       -       -       trivial-rewrite
bounce    unix  -       -       n       -       0       bounce
defer     unix  -       -       n       -       0       bounce
trace     unix  -       -       n       -       0       bounce
verify    unix  -       -       n       -       1       verify
flush     unix  n       -       n       1000?   0       flush
proxymap  unix  -       -       n       -       -       proxymap
showq     unix  n       -       n       -       -       showq
error     unix  -       -       n       -       -       error
retry     unix  -       -       n       -       -       error
discard   unix  -       -       n       -       -       discard
local     unix  -       n       n       -       -       local
anvil     unix  -       -       n       -       1       anvil
scache    unix  -       -       n       -       1       scache
postlog   unix-dgram n  -       n       -       1       postlogd
"""


def make_test_certificate(folder):
    """A self-signed certificate for localhost and 127.0.0.1 and its key, in
    folder; returns their paths."""
    cert = os.path.join(folder, "smtpd-cert.pem")
    key = os.path.join(folder, "smtpd-key.pem")
    subprocess.run(
        ["openssl", "req", "-x509", "-newkey", "ec",
         "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
         "-keyout", key, "-out", cert, "-days", "2", "-subj", "/CN=localhost",
         "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1"],
        check=True, capture_output=True, timeout=60)
    return cert, key


class PrivatePostfix:
    def __init__(self, tls=False):
        """tls: offer STARTTLS (smtpd_tls_security_level = may) with a
        certificate made for the instance, its file in self.tls_cert."""
        self.tls = tls
        self.tls_cert = None
        self.version = postfix_version()
        if self.version is None:
            raise RuntimeError("postfix is not installed")
        # Local delivery into a file or Maildir named in the aliases runs with
        # the rights of default_privs, so the folder must be reachable by it:
        # not under pytest's private 0700 temporary folder.
        self.dir = tempfile.mkdtemp(prefix="tarvelo-postfix-")
        os.chmod(self.dir, 0o755)
        self.etc = os.path.join(self.dir, "etc")
        self.queue = os.path.join(self.dir, "queue")
        self.data = os.path.join(self.dir, "data")
        self.mail = os.path.join(self.dir, "mail")
        self.log = os.path.join(self.dir, "maillog")
        self.port = _free_port()
        self.running = False

    def maildir(self, local_part):
        return os.path.join(self.mail, local_part)

    def write_config(self):
        nobody = pwd.getpwnam("nobody")
        for d in (self.etc, self.queue, self.data, self.mail):
            os.makedirs(d, exist_ok=True)
        os.chown(self.data, pwd.getpwnam("postfix").pw_uid, -1)
        for box in MAILBOXES:
            path = self.maildir(box)
            for sub in ("", "new", "cur", "tmp"):
                os.makedirs(os.path.join(path, sub), exist_ok=True)
                os.chown(os.path.join(path, sub), nobody.pw_uid, nobody.pw_gid)
        aliases = os.path.join(self.etc, "aliases")
        with open(aliases, "w") as f:
            for box in MAILBOXES:
                # texthash reads postmap(1) input: key, blank, value.
                f.write(f"{box} {self.maildir(box)}/\n")
        main = {
            "compatibility_level": "3.6",
            "config_directory": self.etc,
            "queue_directory": self.queue,
            "data_directory": self.data,
            "meta_directory": "/etc/postfix",
            "command_directory": "/usr/sbin",
            "daemon_directory": "/usr/lib/postfix/sbin",
            "mail_owner": "postfix",
            "setgid_group": "postdrop",
            "myhostname": "mx." + DOMAIN,
            "mydomain": DOMAIN,
            "myorigin": DOMAIN,
            "mydestination": DOMAIN,
            "inet_interfaces": "127.0.0.1",
            "inet_protocols": "ipv4",
            "mynetworks": "127.0.0.0/8",
            "relayhost": "",
            "alias_maps": "texthash:" + aliases,
            "alias_database": "",
            "local_recipient_maps": "$alias_maps",
            "default_privs": "nobody",
            "allow_mail_to_files": "alias",
            "biff": "no",
            "smtputf8_enable": "no",
            "maillog_file": self.log,
            "maillog_file_prefixes": self.dir,
            "smtpd_banner": "$myhostname ESMTP",
            "smtpd_forbid_unauth_pipelining": "yes",
            "smtpd_forbid_bare_newline": "reject",
            "smtpd_forbid_bare_newline_exclusions": "",
            # 8-bit text only with the MIME headers that declare it.
            "strict_8bitmime": "yes",
            # Nothing may leave this instance.
            "default_transport": "error:outside the test domain",
            "relay_transport": "error:outside the test domain",
        }
        if self.tls:
            # smtpd reads the key as root before it gives up its rights.
            self.tls_cert, key = make_test_certificate(self.etc)
            main.update({
                "smtpd_tls_security_level": "may",
                "smtpd_tls_cert_file": self.tls_cert,
                "smtpd_tls_key_file": key,
                "smtpd_tls_loglevel": "1",
                # The message shows whether it came in over TLS.
                "smtpd_tls_received_header": "yes",
            })
        if not _knows_parameter("smtpd_forbid_bare_newline"):
            for key in ("smtpd_forbid_bare_newline",
                        "smtpd_forbid_bare_newline_exclusions"):
                del main[key]
        with open(os.path.join(self.etc, "main.cf"), "w") as f:
            for key, value in main.items():
                f.write(f"{key} = {value}\n")
        with open(os.path.join(self.etc, "master.cf"), "w") as f:
            f.write(MASTER_CF.format(port=f"127.0.0.1:{self.port}"))
            if self.tls:
                # smtpd gets its TLS randomness from tlsmgr; without it
                # STARTTLS answers 454.
                f.write("tlsmgr    unix  -       -       n       1000?   1"
                        "       tlsmgr\n")

    def _postfix(self, *args, check=True):
        return subprocess.run(["postfix", "-c", self.etc, *args],
                              capture_output=True, text=True, check=check,
                              timeout=60)

    def start(self):
        self.write_config()
        # "start" creates the missing queue folders of this instance itself
        # (post-install create-missing); set-permissions is left alone, since
        # it would also reset the system's own Postfix files.
        self._postfix("start")
        self.running = True
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            try:
                with socket.create_connection(("127.0.0.1", self.port),
                                              timeout=0.5) as s:
                    s.settimeout(5)
                    if s.recv(100).startswith(b"220"):
                        s.sendall(b"QUIT\r\n")
                        return
            except OSError:
                time.sleep(0.05)
        raise RuntimeError("private postfix did not start:\n" + self.log_text())

    def stop(self):
        if self.running:
            self._postfix("stop", check=False)
            # master exits a moment after "stop" returns; wait for its pid file
            # to go so the folder can be removed.
            pid_file = os.path.join(self.queue, "pid", "master.pid")
            deadline = time.monotonic() + 10
            while os.path.exists(pid_file) and time.monotonic() < deadline:
                time.sleep(0.05)
            self.running = False
        shutil.rmtree(self.dir, ignore_errors=True)

    def log_text(self):
        try:
            with open(self.log, encoding="latin-1") as f:
                return f.read()
        except OSError:
            return ""

    def delivered(self, local_part):
        """The messages in the Maildir of local_part, as bytes."""
        new = os.path.join(self.maildir(local_part), "new")
        out = []
        for name in sorted(os.listdir(new)):
            with open(os.path.join(new, name), "rb") as f:
                out.append(f.read())
        return out

    def wait_for(self, local_part, count=1, timeout=20.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            got = self.delivered(local_part)
            if len(got) >= count:
                return got
            time.sleep(0.05)
        return self.delivered(local_part)


@pytest.fixture(scope="module")
def postfix():
    if shutil.which("postfix") is None:
        pytest.skip("postfix is not installed (scripts/install-deps)")
    server = PrivatePostfix()
    try:
        server.start()
        yield server
    finally:
        server.stop()


@pytest.fixture(scope="module")
def postfix_tls():
    """A private Postfix that offers STARTTLS with a test certificate."""
    if shutil.which("postfix") is None or shutil.which("openssl") is None:
        pytest.skip("postfix or openssl is not installed (scripts/install-deps)")
    server = PrivatePostfix(tls=True)
    try:
        server.start()
        yield server
    finally:
        server.stop()


if __name__ == "__main__":
    server = PrivatePostfix()
    server.start()
    print(f"postfix {server.version} on 127.0.0.1:{server.port}, "
          f"folder {server.dir}")
    try:
        input("Enter stops it. ")
    finally:
        server.stop()
