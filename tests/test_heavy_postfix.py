"""The gateway delivers to a real, strict Postfix (a private instance on
127.0.0.1, see postfix_fixture.py) in HELO and EHLO mode, and the mail lands
in its Maildirs."""
import email.policy
import socket
import urllib.parse
import uuid

import pytest

from conftest import multipart
from postfix_fixture import DOMAIN, postfix, postfix_tls  # noqa: F401


def form(*pairs):
    return "&".join(urllib.parse.quote_plus(n) + "=" + urllib.parse.quote_plus(v)
                    for n, v in pairs)


def message_with(messages, marker):
    """The delivered message that carries marker: the Maildir also holds the
    other tests' mail, in no particular order."""
    [message] = [m for m in messages if marker.encode() in m]
    return message


def raw_dialogue(port, chunks):
    """Sends each chunk after reading whatever the server has said so far;
    returns everything the server said."""
    said = b""
    with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
        said += s.recv(1000)
        for chunk in chunks:
            s.sendall(chunk)
            said += s.recv(1000)
    return said


def test_fixture_is_strict(postfix):
    # Commands sent before the reply to the one before: refused.
    said = raw_dialogue(postfix.port,
                        [b"HELO probe\r\nMAIL FROM:<a@example.com>\r\n"])
    assert b"554 5.5.0 Error: SMTP protocol synchronization" in said
    # A bare line feed in the message: refused.
    said = raw_dialogue(postfix.port, [
        b"HELO probe\r\n", b"MAIL FROM:<a@example.com>\r\n",
        b"RCPT TO:<owner@" + DOMAIN.encode() + b">\r\n", b"DATA\r\n",
        b"Subject: x\r\n\r\nbare\nline feed\r\n.\r\n"])
    assert b"\r\n550 " in said


@pytest.mark.parametrize("hello", ["HELO", "EHLO"])
def test_delivers_to_postfix(site, postfix, hello):
    marker = uuid.uuid4().hex
    before = {box: len(postfix.delivered(box))
              for box in ("owner", "hidden", "copy")}
    site.write_ini(f"""smtp 127.0.0.1:{postfix.port}
hello_method {hello}
headerline To: Site Owner <owner@{DOMAIN}>
use_submitted_variable_for_headerline From:
headerline BCC: hidden@{DOMAIN}
headerline CC: copy@{DOMAIN}
headerline Subject: Form {marker}
use_submitted_variable_for_bodycontent Comments:
sendall true
""")
    comments = "first line\n.\n..two dots\nlast line"
    proc = site.run(form(("From:", "visitor@example.net"),
                         ("Comments:", comments)))
    assert proc.returncode == 0
    assert b"email sent." in proc.stdout, site.log_text()

    for box in ("owner", "hidden", "copy"):
        got = postfix.wait_for(box, before[box] + 1)
        assert len(got) == before[box] + 1, postfix.log_text()[-3000:]
    message = message_with(postfix.delivered("owner"), marker)
    assert f"Subject: Form {marker}".encode() in message
    header, _, body = message.partition(b"\n\n")
    assert b"\nBCC:" not in header and b"hidden@" not in header
    # Postfix stores lines with bare line feeds; the "." lines came through
    # whole, the text area's lines each on a line of their own.
    pad = b" " * 11
    assert body == (b" Comments: first line\n" + pad + b".\n" + pad +
                    b"..two dots\n" + pad + b"last line\n"
                    b"\n\nAll variables from the submitted form:\n"
                    b"(From:)==(visitor@example.net)\n"
                    b"(Comments:)==(first line\n.\n..two dots\nlast line)\n\n")
    assert f"{hello} TARVELO" in site.log_text()


NAME = "J\u00f6hn D\u0153"
COMMENT = ("Gr\u00fc\u00dfe aus K\u00f6ln \u2013 caf\u00e9 cr\u00e8me. " * 80)[:3000]


def utf8_ini(port, hello, flag, marker):
    return f"""smtp 127.0.0.1:{port}
hello_method {hello}
{flag}headerline To: owner@{DOMAIN}
use_submitted_variable_for_headerline From:
use_submitted_variable_for_headerline Subject:
use_submitted_variable_for_bodycontent Name:
use_submitted_variable_for_bodycontent Comments:
bodycontent_line {marker}
"""


@pytest.mark.parametrize("hello", ["HELO", "EHLO"])
def test_strict_8bitmime_takes_standards_complete_utf8(site, postfix, hello):
    marker = uuid.uuid4().hex
    before = len(postfix.delivered("owner"))
    site.write_ini(utf8_ini(postfix.port, hello, "add_standard_headers\n",
                            marker))
    proc = site.run(form(("From:", f"{NAME} <john@example.net>"),
                         ("Subject:", "Hallo " + NAME), ("Name:", NAME),
                         ("Comments:", COMMENT)))
    assert b"email sent." in proc.stdout, site.log_text()
    got = postfix.wait_for("owner", before + 1)
    assert len(got) == before + 1, postfix.log_text()[-3000:]
    msg = email.message_from_bytes(message_with(got, marker),
                                   policy=email.policy.default)
    assert msg.defects == []
    assert str(msg["Subject"]) == "Hallo " + NAME
    assert msg["From"].addresses[0].display_name == NAME
    body = msg.get_content()
    assert " Name: " + NAME + "\n" in body
    assert " Comments: " + COMMENT + "\n" in body
    assert marker in body


def test_strict_8bitmime_refuses_undeclared_8bit(site, postfix):
    """Without add_standard_headers the 8-bit text goes out undeclared, as
    older form mailers sent it: a strict server refuses it, and the server's
    refusal gives the failure page."""
    site.write_ini(utf8_ini(postfix.port, "EHLO", "", uuid.uuid4().hex))
    proc = site.run(form(("From:", "john@example.net"), ("Subject:", "Hi"),
                         ("Name:", NAME), ("Comments:", "x")))
    assert b"email NOT sent." in proc.stdout
    assert "SMTP server refused" in site.log_text()


@pytest.mark.parametrize("host", ["localhost", "127.0.0.1"])
def test_delivers_to_postfix_over_starttls(site, postfix_tls, host):
    """STARTTLS with the certificate verified against the smtp line's host;
    Postfix notes the TLS session in its Received line."""
    marker = uuid.uuid4().hex
    before = len(postfix_tls.delivered("owner"))
    site.write_ini(f"""smtp {host}:{postfix_tls.port}
logging debug
smtp_tls starttls
smtp_tls_ca {postfix_tls.tls_cert}
headerline To: owner@{DOMAIN}
use_submitted_variable_for_headerline From:
headerline Subject: Form {marker}
use_submitted_variable_for_bodycontent Comments:
""")
    proc = site.run(form(("From:", "visitor@example.net"),
                         ("Comments:", "over TLS\n.\nend")))
    assert proc.returncode == 0
    assert b"email sent." in proc.stdout, site.log_text()
    got = postfix_tls.wait_for("owner", before + 1)
    assert len(got) == before + 1, postfix_tls.log_text()[-3000:]
    message = message_with(got, marker)
    assert f"Subject: Form {marker}".encode() in message
    header = message.partition(b"\n\n")[0]
    assert b"(using TLSv1." in header, header
    assert b" Comments: over TLS\n" in message
    log = site.log_text()
    assert "{STARTTLS\n}" in log and log.count("{EHLO TARVELO\n}") == 2
    assert "TLS connection established from" in postfix_tls.log_text()


@pytest.mark.parametrize("hello", ["HELO", "EHLO"])
def test_strict_postfix_takes_attachments(site, postfix, hello):
    """Needs the multipart reader of the form intake."""
    import hashlib
    import os

    marker = uuid.uuid4().hex
    before = len(postfix.delivered("owner"))
    site.write_ini(utf8_ini(postfix.port, hello, "attachment_types pdf png\n",
                            marker))
    pdf = b"%PDF-1.4\n" + os.urandom(300000)
    png_name = "Gr\u00fc\u00dfe \u2013 Foto.png"
    png = b"\x89PNG\r\n\x1a\n" + os.urandom(50000)
    octets = "application/octet-stream"
    body, content_type = multipart(
        [("From:", f"{NAME} <john@example.net>"), ("Subject:", "Files"),
         ("Name:", NAME), ("Comments:", ".a dot\nline two")],
        [("report", "report.pdf", octets, pdf),
         ("photo", png_name, octets, png)], "----tarveloPostfixBoundary")
    proc = site.run(body, env={"CONTENT_TYPE": content_type})
    assert b"email sent." in proc.stdout, site.log_text()
    got = postfix.wait_for("owner", before + 1)
    assert len(got) == before + 1, postfix.log_text()[-3000:]
    msg = email.message_from_bytes(message_with(got, marker),
                                   policy=email.policy.default)
    assert msg.defects == []
    text, report, photo = list(msg.iter_parts())
    assert " Name: " + NAME + "\n" in text.get_content().replace("\r\n", "\n")
    assert report.get_filename() == "report.pdf"
    assert photo.get_filename() == png_name
    assert photo.get_content_type() == "image/png"
    assert hashlib.sha256(report.get_content()).digest() == \
        hashlib.sha256(pdf).digest()
    assert photo.get_content() == png
