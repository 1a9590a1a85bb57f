"""Standards-complete mail (add_standard_headers): what a real SMTP server
receives must read right in any mail client. Each message is parsed with
Python's email package as a mail reader would, and must give back exactly
the texts the visitor typed, with no defect and no line over the limits."""
import email.policy
import re
from email.parser import BytesParser
from email.utils import parsedate_to_datetime
from urllib.parse import urlencode

NAME = "J\u00f6hn D\u0153"  # "Jöhn Dœ"
X_LINE = "X-TARVELO: sent by web form submition activated CGI program."

INI = """smtp 127.0.0.1:{port}
logging debug
{extra}use_submitted_variable_for_headerline From:
headerline To: owner@example.com
use_submitted_variable_for_headerline Subject:
use_submitted_variable_for_bodycontent Name:
use_submitted_variable_for_bodycontent Comments:
"""


def ini(receiver, extra="add_standard_headers\n"):
    return INI.format(port=receiver.port, extra=extra)


def post(site, fields, encoding="utf-8"):
    p = site.run(urlencode(fields, encoding=encoding).encode("ascii"))
    assert p.returncode == 0, p.stderr
    assert b"email sent." in p.stdout, p.stdout
    return p


def comment_of(length):
    """A comment of exactly length characters, in several scripts, with
    "=" signs and no line break."""
    piece = NAME + " = caf\u00e9 \u2014 \u65e5\u672c\u8a9e \U0001F600 ok. "
    return (piece * (length // len(piece) + 1))[:length]


def parse(data):
    return BytesParser(policy=email.policy.default).parsebytes(data)


def check_wire(data):
    """RFC 5322 2.1.1 and 7bit transport: every line at most 998
    characters (1000 octets with its CR LF), nothing above 127."""
    lines = data.split(b"\r\n")
    assert max(len(line) for line in lines) <= 998
    assert all(b < 128 for b in data), "8-bit byte on the wire"
    assert b"\r" not in data.replace(b"\r\n", b"")
    assert b"\n" not in data.replace(b"\r\n", b"")


def check_no_defects(msg):
    assert msg.defects == []
    for name, value in msg.items():
        assert value.defects == (), (name, value.defects)


def body_lines(msg):
    """The decoded body's lines; the last two are empty, since the body ends
    in a line end and the end-of-data marker adds an empty line."""
    return msg.get_content().replace("\r\n", "\n").split("\n")


def test_utf8_name_and_long_comment_read_back_exactly(site, receiver):
    site.write_ini(ini(receiver))
    comment = comment_of(3000)
    subject = "Gr\u00fc\u00dfe von " + NAME
    post(site, {"From:": f"{NAME} <john@example.com>", "Subject:": subject,
                "Name:": NAME, "Comments:": comment})
    [m] = receiver.wait_for(1)
    assert m["from"] == "john@example.com"
    check_wire(m["data"])
    msg = parse(m["data"])
    check_no_defects(msg)
    assert list(msg.keys()) == [
        "From", "To", "Subject", "Date", "Message-ID", "MIME-Version",
        "Content-Type", "Content-Transfer-Encoding", "X-TARVELO"]
    assert msg["Subject"] == subject
    [sender] = msg["From"].addresses
    assert (sender.display_name, sender.addr_spec) == (NAME, "john@example.com")
    assert msg["To"].addresses[0].addr_spec == "owner@example.com"
    assert msg.get_content_type() == "text/plain"
    assert msg.get_content_charset() == "utf-8"
    assert msg["Content-Transfer-Encoding"] == "quoted-printable"
    assert msg["MIME-Version"] == "1.0"
    assert body_lines(msg) == [" Name: " + NAME, " Comments: " + comment, "", ""]
    # Quoted-printable keeps every body line on the wire under 77.
    head, _, body = m["data"].partition(b"\r\n\r\n")
    assert max(len(line) for line in body.split(b"\r\n")) <= 76
    # The log shows the accepted entries as they were submitted.
    assert any(line.startswith(f"generated headers {{From: {NAME} <john@"
                               .encode().decode("latin-1"))
               for line in site.log_messages())


def test_date_and_message_id(site, receiver):
    site.write_ini(ini(receiver))
    fields = {"From:": "joe@example.com", "Subject:": "Hello",
              "Name:": "Joe", "Comments:": "plain"}
    post(site, fields)
    post(site, fields)
    first, second = receiver.wait_for(2)
    ids = []
    for m in (first, second):
        msg = parse(m["data"])
        check_no_defects(msg)
        when = parsedate_to_datetime(msg["Date"])
        assert when.tzinfo is not None
        assert re.fullmatch(
            r"[A-Z][a-z]{2}, \d{2} [A-Z][a-z]{2} \d{4} \d{2}:\d{2}:\d{2} "
            r"[+-]\d{4}", str(msg["Date"]))
        assert re.fullmatch(r"<\d+\.\d+\.[0-9a-f]{16}@[A-Za-z0-9.-]+>",
                            msg["Message-ID"])
        ids.append(msg["Message-ID"])
    assert ids[0] != ids[1]


def test_ascii_body_goes_7bit_unchanged(site, receiver):
    site.write_ini(ini(receiver))
    post(site, {"From:": "joe@example.com", "Subject:": "Hello",
                "Name:": "Joe", "Comments:": "line one\r\n.line two"})
    [m] = receiver.wait_for(1)
    msg = parse(m["data"])
    check_no_defects(msg)
    assert msg["Content-Transfer-Encoding"] == "7bit"
    head, _, body = m["data"].partition(b"\r\n\r\n")
    assert body == (b" Name: Joe\r\n Comments: line one\r\n"
                    b"           .line two\r\n\r\n")


def test_long_subject_and_multiline_comment(site, receiver):
    site.write_ini(ini(receiver))
    subject = ("Re: " + NAME + " ") * 400
    long_word = "x" * 1500
    comment = ("first line with trailing blanks   \r\n"
               ".a line that starts with a dot\r\n"
               + long_word + "\r\n" + comment_of(1200))
    post(site, {"From:": f"{NAME} <john@example.com>",
                "Subject:": subject + long_word,
                "Name:": NAME, "Comments:": comment})
    [m] = receiver.wait_for(1)
    check_wire(m["data"])
    msg = parse(m["data"])
    check_no_defects(msg)
    assert msg["Subject"] == subject + long_word
    indent = " " * len(" Comments: ")
    lines = comment.split("\r\n")
    assert body_lines(msg) == (
        [" Name: " + NAME, " Comments: " + lines[0]]
        + [indent + line for line in lines[1:]] + ["", ""])


def test_configured_charset_is_named_and_bytes_pass_unchanged(site, receiver):
    site.write_ini(ini(receiver, "add_standard_headers\ncharset windows-1252\n"))
    post(site, {"From:": "joe@example.com", "Subject:": "Caf\u00e9 " + NAME[:4],
                "Name:": "Jo\u00e9", "Comments:": "\u00e0 bient\u00f4t"},
         encoding="windows-1252")
    [m] = receiver.wait_for(1)
    check_wire(m["data"])
    assert b"=?windows-1252?B?" in m["data"]
    msg = parse(m["data"])
    check_no_defects(msg)
    assert msg.get_content_charset() == "windows-1252"
    assert msg["Subject"] == "Caf\u00e9 " + NAME[:4]
    assert body_lines(msg) == [" Name: Jo\u00e9",
                               " Comments: \u00e0 bient\u00f4t", "", ""]


def test_without_the_flag_the_message_is_as_before(site, receiver):
    site.write_ini(ini(receiver, extra=""))
    post(site, {"From:": f"{NAME} <john@example.com>", "Subject:": NAME,
                "Name:": NAME, "Comments:": "a=b  \r\nnext"})
    [m] = receiver.wait_for(1)
    name = NAME.encode()
    assert m["data"] == (
        b"From: " + name + b" <john@example.com>\r\n"
        b"To: owner@example.com \r\n"
        b"Subject: " + name + b"\r\n"
        + X_LINE.encode() + b"\r\n"
        b"\r\n"
        b" Name: " + name + b"\r\n"
        b" Comments: a=b  \r\n"
        b"           next\r\n"
        b"\r\n")


def test_runs_of_blanks_keep_every_line_within_998(site, receiver):
    """A subject of "hello" and 1200 blanks made a line of 1206 characters,
    which strict servers refuse: the run now folds or goes encoded, and the
    subject reads back as typed."""
    site.write_ini(ini(receiver))
    for blanks in (" " * 1200, "\t" * 1200):
        post(site, {"From:": "joe@example.com",
                    "Subject:": "hello" + blanks,
                    "Name:": "Joe", "Comments:": "a" + blanks + "b"})
    for m, blanks in zip(receiver.wait_for(2), (" " * 1200, "\t" * 1200)):
        check_wire(m["data"])
        msg = parse(m["data"])
        check_no_defects(msg)
        assert msg["Subject"] == "hello" + blanks
