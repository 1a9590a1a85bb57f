"""Mail delivery end to end: the built executable, run as a web server runs
it, delivers to an SMTP server on 127.0.0.1 that this test starts.

A real server (aiosmtpd) shows what arrives; a scripted server written here
shows each fault and that the client waits for every reply before it writes
again.
"""
import re
import select
import socket
import struct
import threading
import time
import urllib.parse

import pytest

from conftest import free_port

X_LINE = b"X-TARVELO: sent by web form submition activated CGI program."


def form(*pairs):
    return "&".join(urllib.parse.quote_plus(n) + "=" + urllib.parse.quote_plus(v)
                    for n, v in pairs)


def crlf_everywhere(data):
    """Every CR or LF that is not part of a CR LF pair becomes CR LF."""
    return re.sub(rb"\r\n|\r|\n", b"\r\n", data)


def sent_page(proc):
    assert proc.returncode == 0, proc.stderr
    if b"email NOT sent." in proc.stdout:
        return False
    assert b"email sent." in proc.stdout, proc.stdout
    return True


# --- the real server ------------------------------------------------------

CONTACT_INI = """smtp 127.0.0.1:{port}
hello_method {hello}
{line_end}headerline To: Site Owner <owner@example.com>
use_submitted_variable_for_headerline From:
headerline BCC: hidden@example.com
headerline CC: copy@example.com
headerline Subject: Contact form
bodycontent_line Message from the web form:
use_submitted_variable_for_bodycontent Name:
use_submitted_variable_for_bodycontent Comments:
sendall true
"""

# A text area value; the form reader drops its carriage returns, from field
# names too.
COMMENTS = "line one\r\nline two\n.\n..dots\r\nlast"
CONTACT_FORM = form(("From:", "visitor@example.net"), ("Name:", "Joe"),
                    ("Comments:", COMMENTS), ("Odd\rName", "x"))


def contact_message(le):
    """The message as composed, with le as the line end."""
    header = (b"To: Site Owner <owner@example.com> " + le +
              b"From: visitor@example.net" + le +
              b"CC: copy@example.com " + le +
              b"Subject: Contact form " + le + X_LINE + le)
    pad = b" " * 11
    body = (b" Message from the web form: " + le +
            b" Name: Joe" + le +
            b" Comments: line one" + le +
            pad + b"line two" + le + pad + b"." + le +
            pad + b"..dots" + le + pad + b"last" + le +
            le + le + b"All variables from the submitted form:" + le +
            b"(From:)==(visitor@example.net)" + le +
            b"(Name:)==(Joe)" + le +
            b"(Comments:)==(line one\nline two\n.\n..dots\nlast)" + le +
            b"(OddName)==(x)" + le)
    return header + le + body


@pytest.mark.parametrize("hello", ["HELO", "EHLO"])
def test_delivers_exact_message_and_envelope(site, receiver, hello):
    site.write_ini(CONTACT_INI.format(port=receiver.port, hello=hello,
                                      line_end=""))
    proc = site.run(CONTACT_FORM)
    assert sent_page(proc)
    (msg,) = receiver.wait_for(1)
    assert msg["from"] == "visitor@example.net"
    assert msg["rcpt"] == ["owner@example.com", "hidden@example.com",
                           "copy@example.com"]
    # The bare CR and LF of the text area reach the server as CR LF, the
    # "." lines arrive whole, and the end-of-data marker leaves an empty line.
    assert msg["data"] == crlf_everywhere(contact_message(b"\r\n")) + b"\r\n"
    assert b"hidden@example.com" not in msg["data"]
    log = site.log_text()
    assert "SEND(" in log and "RECV(" in log
    assert f"{hello} TARVELO" in log


def test_bare_line_feed_line_end(site, receiver):
    site.write_ini(CONTACT_INI.format(port=receiver.port, hello="HELO",
                                      line_end="email_CR CR\n"))
    proc = site.run(CONTACT_FORM)
    assert sent_page(proc)
    (msg,) = receiver.wait_for(1)
    # The texts go as composed; only a "." after a line feed is doubled.
    # aiosmtpd splits DATA at CR LF alone and removes the extra "." only there,
    # so the doubled dots after the bare line feeds are still in what it kept.
    text = contact_message(b"\n")
    stuffed = text.replace(b"\n.", b"\n..")
    assert msg["data"] == stuffed + b"\r\n"


def test_bare_line_feed_line_end_sends_no_bare_carriage_return(site, receiver):
    """A receiver that ends a line at a bare CR would see "CR . CR" as the
    end of the data: no bare CR may reach the wire, and every line that
    begins with "." is doubled."""
    site.write_ini(CONTACT_INI.format(port=receiver.port, hello="HELO",
                                      line_end="email_CR CR\n"))
    proc = site.run(CONTACT_FORM + "&" + form(("a\r.\r\nb", "y")))
    assert sent_page(proc)
    (msg,) = receiver.wait_for(1)
    assert b"\r" not in msg["data"].replace(b"\r\n", b"")
    assert b"\n(a.\nb)==(y)\n" in msg["data"]


def test_field_topic_never_becomes_the_recipient(site, receiver):
    """With add_headerline_colon "To" without its colon is a whole word,
    never a prefix: a visitor's field Topic leaves the fixed To alone."""
    site.write_ini(f"""smtp 127.0.0.1:{receiver.port}
add_headerline_colon
use_submitted_variable_for_headerline Topic
headerline To: "Me" <me@example.com>
headerline From: form@example.com
headerline Subject: Contact
""")
    assert sent_page(site.run(form(("Topic", "evil@example.org"))))
    (msg,) = receiver.wait_for(1)
    assert msg["rcpt"] == ["me@example.com"]


def test_dot_lines_cannot_end_the_message_early(site, receiver):
    site.write_ini(f"""smtp 127.0.0.1:{receiver.port}
headerline To: owner@example.com
headerline From: form@example.com
headerline Subject: Dots
sendall true
""")
    value = "x\r\n.\r\nMAIL FROM:<evil@example.org>\r\nRCPT TO:<victim@example.org>\r\n.\r\n."
    proc = site.run(form(("Text", value)))
    assert sent_page(proc)
    msgs = receiver.wait_for(1)
    time.sleep(0.2)
    assert len(msgs) == 1
    assert msgs[0]["rcpt"] == ["owner@example.com"]
    assert msgs[0]["data"].endswith(
        b"(Text)==(x\r\n.\r\nMAIL FROM:<evil@example.org>\r\n"
        b"RCPT TO:<victim@example.org>\r\n.\r\n.)\r\n\r\n")


def test_no_smtp_setting_attempts_nothing(site):
    site.write_ini("""headerline To: owner@example.com
headerline From: form@example.com
headerline Subject: x
""")
    proc = site.run("")
    assert not sent_page(proc)
    assert any("smtp setting" in m for m in site.log_messages())


def test_unreachable_server(site):
    port = free_port()  # nothing listens there
    site.write_ini(f"""smtp 127.0.0.1:{port}
headerline To: owner@example.com
headerline From: form@example.com
headerline Subject: x
""")
    proc = site.run("")
    assert not sent_page(proc)
    log = site.log_text()
    assert "wsock: (127.0.0.1) Connection Refused\n" in log
    assert "SMTP email server (127.0.0.1) did not respond.\n" in log


# --- the scripted server --------------------------------------------------

class Scripted:
    """One-connection SMTP server run by a script function on a thread.

    Before every reply it holds back for `hold` seconds and notes whether the
    client wrote anything meanwhile: a client that waits for replies never
    does."""

    def __init__(self, script, hold=0.05):
        self.script = script
        self.hold = hold
        self.received = b""
        self.early_writes = []
        self.error = None
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(1)
        self.listener.settimeout(20)
        self.port = self.listener.getsockname()[1]
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        try:
            self.conn, _ = self.listener.accept()
            self.conn.settimeout(10)
            self._buffer = b""
            self.script(self)
        except Exception as e:  # reported by finish()
            self.error = e
        finally:
            try:
                self.conn.close()
            except Exception:
                pass
            self.listener.close()

    def _fill(self):
        data = self.conn.recv(65536)
        if not data:
            raise EOFError("client closed")
        self.received += data
        self._buffer += data

    def line(self):
        while b"\n" not in self._buffer:
            self._fill()
        line, _, self._buffer = self._buffer.partition(b"\n")
        return line + b"\n"

    def data(self):
        while b"\r\n.\r\n" not in self._buffer:
            self._fill()
        data, _, self._buffer = self._buffer.partition(b"\r\n.\r\n")
        return data

    def reply(self, text, what=""):
        if self.hold:
            ready, _, _ = select.select([self.conn], [], [], self.hold)
            if ready or self._buffer:
                self.early_writes.append(what or text)
        self.conn.sendall(text)

    def finish(self, timeout=10):
        self.thread.join(timeout)
        if self.error:
            raise self.error


def smtp_script(refuse=None, code=b"550 refused", ehlo_reply=b"250 hello\r\n",
                greeting=(b"220 ready\r\n",)):
    """A server that accepts everything except the step named by refuse
    ("greeting", "MAIL", "RCPT", "DATA", "END"), then wants QUIT."""

    def script(s):
        def answer(step, normal):
            if step == refuse:
                s.reply(code + b"\r\n", step)
                assert s.line() == b"QUIT\r\n"
                s.reply(b"221 bye\r\n", "QUIT")
                return False
            s.reply(normal, step)
            return True

        for i, piece in enumerate(greeting[:-1]):
            s.reply(piece, "greeting")
            time.sleep(0.1)
        if not answer("greeting", greeting[-1]):
            return
        hello = s.line()
        s.reply(ehlo_reply if hello.startswith(b"EHLO") else b"250 hello\r\n",
                "hello")
        assert s.line().startswith(b"MAIL FROM:")
        if not answer("MAIL", b"250 ok\r\n"):
            return
        assert s.line().startswith(b"RCPT TO:")
        if not answer("RCPT", b"250 ok\r\n"):
            return
        assert s.line() == b"DATA\r\n"
        if not answer("DATA", b"354 go ahead\r\n"):
            return
        s.message = s.data()
        if not answer("END", b"250 queued\r\n"):
            return
        assert s.line() == b"QUIT\r\n"
        s.reply(b"221 bye\r\n", "QUIT")

    return script


def simple_ini(port, extra=""):
    return f"""smtp 127.0.0.1:{port}
{extra}headerline To: owner@example.com
headerline From: form@example.com
headerline Subject: Faults
bodycontent_line Hello
"""


@pytest.mark.parametrize("step,code,last_command,logged", [
    ("greeting", b"554 no service", b"",
     "SMTP server refused the connection: {554 no service}"),
    ("MAIL", b"550 sender rejected", b"MAIL FROM:<form@example.com>\r\n",
     "SMTP server refused MAIL FROM:<form@example.com>: {550 sender rejected}"),
    ("RCPT", b"550 no such user", b"RCPT TO:<owner@example.com>\r\n",
     "SMTP server refused RCPT TO:<owner@example.com>: {550 no such user}"),
    ("DATA", b"554 no data now", b"DATA\r\n",
     "SMTP server refused DATA: {554 no data now}"),
    ("END", b"552 too much", b"\r\n.\r\n",
     "SMTP server refused the message: {552 too much}"),
])
def test_refused_step_quits_and_fails(site, step, code, last_command, logged):
    server = Scripted(smtp_script(refuse=step, code=code))
    site.write_ini(simple_ini(server.port))
    proc = site.run("")
    server.finish()
    assert not sent_page(proc)
    # After the refused step only QUIT: no DATA after a refused recipient, no
    # message text after a refused DATA.
    assert server.received.endswith(last_command + b"QUIT\r\n")
    assert server.early_writes == []
    assert logged in site.log_messages()
    assert "Email not sent." in site.log_messages()


def test_closed_after_accept(site):
    def script(s):
        pass  # closes at once

    server = Scripted(script)
    site.write_ini(simple_ini(server.port))
    proc = site.run("")
    server.finish()
    assert not sent_page(proc)
    assert server.received == b""
    assert "SMTP server gave no complete reply to the connection" in \
        site.log_messages()


def test_greeting_in_pieces(site):
    server = Scripted(smtp_script(greeting=(b"22", b"0-mail.exa", b"mple\r\n22",
                                            b"0 ready\r\n")), hold=0.15)
    site.write_ini(simple_ini(server.port))
    proc = site.run("")
    server.finish()
    assert sent_page(proc)
    assert server.early_writes == []
    assert server.received.startswith(b"HELO TARVELO\r\n")
    messages = site.log_messages()
    assert any(re.fullmatch(r"RECV\(\d+\): \{220-mail\.example\\r\}", m)
               for m in messages)


def test_long_ehlo_reply(site):
    lines = [b"250-EXTENSION-%03d-%s" % (i, b"x" * 20) for i in range(59)]
    reply = b"\r\n".join(lines) + b"\r\n250 SIZE 10240000\r\n"
    assert len(reply) > 1000
    server = Scripted(smtp_script(ehlo_reply=reply))
    site.write_ini(simple_ini(server.port, "hello_method EHLO\n"))
    proc = site.run("")
    server.finish()
    assert sent_page(proc)
    assert server.received.startswith(b"EHLO TARVELO\r\nMAIL FROM:")
    recv = [m for m in site.log_messages() if m.startswith("RECV(") and "EXTENSION" in m]
    assert len(recv) == 59
    final = [m for m in site.log_messages() if m.endswith("{250 SIZE 10240000\\r}")]
    assert len(final) == 1 and f":[{len(reply) - 1}] " in final[0]


def test_server_that_never_answers(site):
    def script(s):
        s.hold = 0
        time.sleep(5)  # says nothing

    server = Scripted(script)
    site.write_ini(simple_ini(server.port, "smtp_timeout 2\n"))
    started = time.monotonic()
    proc = site.run("")
    elapsed = time.monotonic() - started
    assert not sent_page(proc)
    assert elapsed < 4, elapsed
    assert elapsed >= 1.9, elapsed
    assert "wsock: (TCPdoread failed) Timedout\n" in site.log_text()
    server.finish()


def test_client_writes_only_after_each_reply(site):
    server = Scripted(smtp_script(), hold=0.2)
    site.write_ini(simple_ini(server.port))
    proc = site.run("")
    server.finish()
    assert sent_page(proc)
    assert server.early_writes == []
    assert server.message == (b"To: owner@example.com \r\nFrom: form@example.com \r\n"
                              b"Subject: Faults \r\n" + X_LINE + b"\r\n\r\n Hello \r\n")


def test_write_to_closed_connection_does_not_kill_the_run(site):
    def script(s):
        s.reply(b"220 ready\r\n")
        # Close with a reset at once: whatever the client writes next goes
        # to a connection that no longer exists.
        s.conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                          struct.pack("ii", 1, 0))
        s.conn.close()

    server = Scripted(script)
    site.write_ini(simple_ini(server.port))
    proc = site.run("")
    server.finish()
    # Killed by SIGPIPE would be returncode -13 and no page at all.
    assert proc.returncode == 0
    assert not sent_page(proc)
    assert "wsock: (Socket Error, could not write.) " in site.log_text()
    assert "ended." in site.log_messages()
