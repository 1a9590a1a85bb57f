"""Mail through TLS and SMTP AUTH end to end: the built executable, run as a
web server runs it, delivers to aiosmtpd on 127.0.0.1 with STARTTLS or
implicit TLS, using certificates this test makes with openssl and trusts
through smtp_tls_ca.

Every run's log and page are checked for the password, in clear and in each
of the encodings the AUTH exchange uses.
"""
import base64
import os
import shutil
import socket
import ssl
import subprocess
import time
import urllib.parse

import pytest

from conftest import free_port

pytestmark = [
    pytest.mark.skipif(shutil.which("openssl") is None,
                       reason="openssl is not installed"),
    # aiosmtpd warns about AUTH on a connection it does not know is TLS: the
    # implicit TLS server, which is TLS from the first byte.
    pytest.mark.filterwarnings("ignore:Requiring AUTH while not requiring"),
]

USER = "webform@example.com"
PASSWORD = "Tr0ub4dor&3 horse"
SECRETS = [PASSWORD, base64.b64encode(PASSWORD.encode()).decode(),
           base64.b64encode(f"\0{USER}\0{PASSWORD}".encode()).decode()]


def form(*pairs):
    return "&".join(urllib.parse.quote_plus(n) + "=" + urllib.parse.quote_plus(v)
                    for n, v in pairs)


FORM = form(("From:", "visitor@example.net"), ("Comments:", "hello over TLS"))


def make_certificate(folder, name, subject, alt_names):
    """A self-signed certificate and its key, as a small site's relay has."""
    cert = os.path.join(folder, name + ".pem")
    key = os.path.join(folder, name + ".key")
    subprocess.run(
        ["openssl", "req", "-x509", "-newkey", "ec",
         "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
         "-keyout", key, "-out", cert, "-days", "2", "-subj", subject,
         "-addext", "subjectAltName=" + alt_names],
        check=True, capture_output=True)
    return cert, key


@pytest.fixture(scope="module")
def certs(tmp_path_factory):
    folder = str(tmp_path_factory.mktemp("certs"))
    return {
        # For the names the tests connect by.
        "good": make_certificate(folder, "good", "/CN=localhost",
                                 "DNS:localhost,IP:127.0.0.1"),
        # Trusted or not, made out for somebody else.
        "other": make_certificate(folder, "other", "/CN=other.example",
                                  "DNS:other.example"),
    }


def server_context(cert_and_key):
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.load_cert_chain(*cert_and_key)
    return context


class TlsReceiver:
    """aiosmtpd with TLS (STARTTLS or implicit) and AUTH; keeps every
    message, every MAIL FROM, each login tried and the SNI name seen."""

    def __init__(self, mode, cert_and_key=None, auth=True,
                 exclude_mechanisms=()):
        from aiosmtpd.controller import Controller
        from aiosmtpd.smtp import AuthResult

        self.messages = []
        self.mail_from = []
        self.logins = []
        self.server_names = []
        receiver = self

        class Handler:
            async def handle_MAIL(self, server, session, envelope, address,
                                  options):
                receiver.mail_from.append(address)
                envelope.mail_from = address
                return "250 OK"

            async def handle_DATA(self, server, session, envelope):
                receiver.messages.append({
                    "rcpt": list(envelope.rcpt_tos),
                    "data": envelope.original_content,
                    "tls": server.transport.get_extra_info("ssl_object")
                    is not None,
                    "login": session.auth_data,
                })
                return "250 OK"

        def authenticator(server, session, envelope, mechanism, data):
            login = data.login.decode()
            password = data.password.decode()
            receiver.logins.append((mechanism, login))
            ok = login == USER and password == PASSWORD
            # handled=False: aiosmtpd itself answers a failure with 535.
            return AuthResult(success=ok, handled=False,
                              auth_data=login if ok else None)

        context = server_context(cert_and_key) if cert_and_key else None
        if context is not None:
            context.sni_callback = (
                lambda sock, name, ctx: receiver.server_names.append(name))
        kwargs = {}
        if auth:
            kwargs.update(authenticator=authenticator, auth_required=True,
                          auth_exclude_mechanism=list(exclude_mechanisms))
        if mode == "starttls":
            kwargs.update(tls_context=context, require_starttls=True,
                          auth_require_tls=True)
        elif mode == "implicit":
            # The server cannot tell that its whole connection is TLS, so it
            # would hold AUTH back without this.
            kwargs.update(ssl_context=context, auth_require_tls=False)
        self.port = free_port()
        self.controller = Controller(Handler(), hostname="127.0.0.1",
                                     port=self.port, decode_data=False,
                                     **kwargs)
        self.controller.start()
        if mode == "implicit":
            # The controller's own readiness probe said hello through TLS.
            self.server_names.clear()

    def stop(self):
        self.controller.stop()


@pytest.fixture
def servers():
    started = []

    def start(*args, **kwargs):
        server = TlsReceiver(*args, **kwargs)
        started.append(server)
        return server

    yield start
    for server in started:
        server.stop()


def ini(host, port, extra):
    return f"""smtp {host}:{port}
logging debug
{extra}headerline To: owner@example.com
use_submitted_variable_for_headerline From:
headerline Subject: Through a provider
use_submitted_variable_for_bodycontent Comments:
"""


def credentials(tls, ca=None, user=USER, password=PASSWORD):
    lines = f"smtp_tls {tls}\n" if tls else ""
    if ca:
        lines += f"smtp_tls_ca {ca}\n"
    if user is not None:
        lines += f"smtp_user {user}\n"
    if password is not None:
        lines += f"smtp_password {password}\n"
    return lines


def run(site, text):
    site.write_ini(text)
    proc = site.run(FORM)
    assert proc.returncode == 0, proc.stderr
    log = site.log_text()
    for secret in SECRETS:
        assert secret not in log
        assert secret.encode() not in proc.stdout
    sent = b"email sent." in proc.stdout
    assert sent or b"email NOT sent." in proc.stdout, proc.stdout
    return sent, log


@pytest.mark.parametrize("host,sni", [("localhost", "localhost"),
                                      ("127.0.0.1", None)])
@pytest.mark.parametrize("hello", ["HELO", "EHLO"])
def test_starttls_and_auth_deliver(site, servers, certs, host, sni, hello):
    server = servers("starttls", certs["good"])
    sent, log = run(site, ini(host, server.port,
                              f"hello_method {hello}\n" +
                              credentials("starttls", certs["good"][0])))
    assert sent, log
    assert len(server.messages) == 1
    message = server.messages[0]
    assert message["tls"] and message["login"] == USER
    assert message["rcpt"] == ["owner@example.com"]
    assert b"Subject: Through a provider" in message["data"]
    assert b"hello over TLS" in message["data"]
    assert server.logins == [("PLAIN", USER)]
    # A name travels as SNI, an address never (RFC 6066 3).
    assert server.server_names == [sni]
    # EHLO twice, whatever hello_method says; the trace shows clear text.
    assert log.count("SEND(") >= 7
    assert log.count("{EHLO TARVELO\n}") == 2 and "HELO TARVELO" not in log
    assert "{STARTTLS\n}" in log and "TLS started with " + host in log
    assert "{AUTH PLAIN ********\n}" in log


def test_auth_login_when_only_login_is_offered(site, servers, certs):
    server = servers("starttls", certs["good"], exclude_mechanisms=["PLAIN"])
    sent, log = run(site, ini("localhost", server.port,
                              credentials("starttls", certs["good"][0])))
    assert sent, log
    assert server.logins == [("LOGIN", USER)]
    assert len(server.messages) == 1
    assert "{AUTH LOGIN\n}" in log
    assert log.count("SEND(") and log.count("{********\n}") == 2


def test_implicit_tls_delivers(site, servers, certs):
    server = servers("implicit", certs["good"])
    sent, log = run(site, ini("localhost", server.port,
                              credentials("implicit", certs["good"][0])))
    assert sent, log
    assert len(server.messages) == 1 and server.messages[0]["tls"]
    assert server.messages[0]["login"] == USER
    assert "STARTTLS" not in log


def test_implicit_tls_without_auth(site, servers, certs):
    server = servers("implicit", certs["good"], auth=False)
    sent, log = run(site, ini("127.0.0.1", server.port,
                              credentials("implicit", certs["good"][0],
                                          user=None, password=None)))
    assert sent, log
    assert server.messages[0]["tls"] and server.messages[0]["login"] is None
    assert "SEND(3): {AUTH" not in log and "{AUTH" not in log


def test_wrong_password_fails_and_sends_nothing(site, servers, certs):
    server = servers("starttls", certs["good"])
    sent, log = run(site, ini("localhost", server.port,
                              credentials("starttls", certs["good"][0],
                                          password="not the password")))
    assert not sent
    assert server.messages == [] and server.mail_from == []
    assert f"SMTP authentication refused for smtp_user {USER} (AUTH PLAIN): " \
           "{535 5.7.8 Authentication credentials invalid}" in log
    assert "not the password" not in log


def test_server_without_starttls_gets_no_mail_from(site, servers, certs):
    server = servers("plain", auth=False)
    sent, log = run(site, ini("localhost", server.port,
                              credentials("starttls", certs["good"][0])))
    assert not sent
    assert server.mail_from == [] and server.messages == []
    assert "STARTTLS not offered by the SMTP server (localhost)" in log
    commands = [line for line in log.split("\n") if "SEND(" in line]
    assert len(commands) == 2
    assert "{EHLO TARVELO" in commands[0] and "{QUIT" in commands[1]


@pytest.mark.parametrize("host", ["localhost", "127.0.0.1"])
def test_certificate_for_another_host_is_refused(site, servers, certs, host):
    server = servers("starttls", certs["other"])
    sent, log = run(site, ini(host, server.port,
                              credentials("starttls", certs["other"][0])))
    assert not sent
    assert server.mail_from == [] and server.logins == []
    assert "TLS host name mismatch: the certificate of the SMTP server is " \
           f"not made out for {host}" in log


@pytest.mark.parametrize("ca", ["other", None])
def test_untrusted_certificate_is_refused(site, servers, certs, ca):
    server = servers("implicit", certs["good"])
    sent, log = run(site, ini("localhost", server.port,
                              credentials("implicit",
                                          certs[ca][0] if ca else None)))
    assert not sent
    assert server.mail_from == [] and server.logins == []
    store = certs[ca][0] if ca else "the system's CA store"
    assert "TLS certificate not trusted: the certificate of the SMTP server " \
           f"(localhost) does not lead to a CA in {store}" in log


def test_implicit_tls_to_a_plain_server(site, servers, certs):
    server = servers("plain", auth=False)
    sent, log = run(site, ini("localhost", server.port,
                              credentials("implicit", certs["good"][0],
                                          user=None, password=None)))
    assert not sent
    assert server.mail_from == []
    assert "TLS handshake failed with the SMTP server (localhost): " in log


def test_handshake_is_bounded_by_smtp_timeout(site, certs):
    # A server that accepts the connection and never says a word.
    with socket.socket() as listener:
        listener.bind(("127.0.0.1", 0))
        listener.listen(1)
        port = listener.getsockname()[1]
        started = time.monotonic()
        sent, log = run(site, ini("localhost", port, "smtp_timeout 1\n" +
                                  credentials("implicit", certs["good"][0])))
        took = time.monotonic() - started
    assert not sent
    assert took < 10
    assert "TLS handshake failed with the SMTP server (localhost): no answer " \
           "within the time limit (smtp_timeout)" in log


@pytest.mark.parametrize("extra,logged", [
    (credentials(None), "No mail sent: smtp_user is set without smtp_tls, "
                        "and a password is never sent without TLS"),
    (credentials("starttls", password=None),
     "No mail sent: smtp_user is set without smtp_password."),
    (credentials("implicit", user=None),
     "No mail sent: smtp_password is set without smtp_user."),
    ("smtp_tls yes\n",
     "smtp_tls (yes) is neither starttls nor implicit; no mail will be sent"),
])
def test_unusable_settings_send_nothing(site, servers, extra, logged):
    server = servers("plain", auth=False)
    sent, log = run(site, ini("127.0.0.1", server.port, extra))
    assert not sent
    assert logged in log
    # Not a single command: the server never heard from the gateway.
    assert "SEND(" not in log and "RECV(" not in log
    assert server.mail_from == []


def test_plain_run_never_starts_tls(site, receiver):
    """An ini without the keywords reads no certificate and no OpenSSL
    configuration."""
    if shutil.which("strace") is None:
        pytest.skip("strace is not installed")
    site.write_ini(ini("127.0.0.1", receiver.port, ""))
    trace = os.path.join(site.folder, "trace")
    env = {"PATH": "/usr/bin:/bin", "REQUEST_METHOD": "POST",
           "CONTENT_LENGTH": str(len(FORM))}
    proc = subprocess.run(["strace", "-f", "-o", trace, "-e", "trace=%file",
                           site.exe], input=FORM.encode(), env=env,
                          capture_output=True, cwd=site.folder, timeout=30)
    assert b"email sent." in proc.stdout
    with open(trace) as f:
        # A dynamically linked (sanitizer) build loads libssl.so at start;
        # what matters is what the run itself opens afterwards.
        files = "\n".join(line for line in f.read().splitlines()
                          if ".so" not in line)
    assert "mailer.ini" in files  # the trace saw the run's files
    assert "ssl" not in files.lower()
    assert len(receiver.wait_for(1)) == 1
