"""Files posted with multipart/form-data arrive as attachments: each mail is
parsed with Python's email package as a mail reader would, and every field,
file name and file byte must come back exactly. Needs the multipart reader
of the form intake and the attachment_types keyword."""
import base64
import hashlib
import re
import secrets

import pytest

from conftest import Receiver, free_port, multipart  # noqa: F401

PDF = b"%PDF-1.4\n" + bytes(range(256)) * 200 + b"\n%%EOF\n"
PNG = b"\x89PNG\r\n\x1a\n" + secrets.token_bytes(70000)
PNG_NAME = "B\u00fcro-Fr\u00fchst\u00fcck \u65e5\u672c.png"  # "Büro-Frühstück 日本.png"

INI = """smtp 127.0.0.1:{port}
logging {logging}
hello_method {hello}
attachment_types pdf png txt
headerline To: owner@example.com
use_submitted_variable_for_headerline From:
headerline Subject: Upload
use_submitted_variable_for_bodycontent Name:
use_submitted_variable_for_bodycontent Comments:
"""


def post(site, fields, files):
    body, content_type = multipart(fields, files)
    return site.run(body, env={"CONTENT_TYPE": content_type})


def parse(data):
    import email.policy
    from email.parser import BytesParser

    assert max(len(line) for line in data.split(b"\r\n")) <= 998
    msg = BytesParser(policy=email.policy.default).parsebytes(data)
    assert msg.defects == []
    return msg


def sha(data):
    return hashlib.sha256(data).hexdigest()


@pytest.mark.parametrize("hello", ["HELO", "EHLO"])
def test_files_arrive_as_attachments_exactly(site, receiver, hello):
    site.write_ini(INI.format(port=receiver.port, logging="errors",
                              hello=hello))
    p = post(site, [("From:", "visitor@example.net"), ("Name:", "J\u00f6e"),
                    ("Comments:", "line one\r\n.line two")],
             # The declared types are the browser's guess, never used.
             [("report", "report.pdf", "text/html", PDF),
              ("photo", PNG_NAME, "application/x-evil", PNG)])
    assert p.returncode == 0
    assert b"email sent." in p.stdout, site.log_text()
    [m] = receiver.wait_for(1)
    msg = parse(m["data"])
    for name in ("Date", "Message-ID", "MIME-Version"):
        assert msg[name], name
    assert msg.get_content_type() == "multipart/mixed"
    text, pdf, png = list(msg.iter_parts())
    body = text.get_content().replace("\r\n", "\n")
    assert " Name: J\u00f6e\n" in body
    assert " Comments: line one\n           .line two\n" in body
    assert (pdf.get_content_type(), pdf.get_filename()) == (
        "application/pdf", "report.pdf")
    assert (png.get_content_type(), png.get_filename()) == (
        "image/png", PNG_NAME)
    assert sha(pdf.get_content()) == sha(PDF)
    assert sha(png.get_content()) == sha(PNG)
    assert pdf.get_content_disposition() == "attachment"


def test_trace_names_the_file_never_its_bytes(site, receiver):
    site.write_ini(INI.format(port=receiver.port, logging="debug",
                              hello="HELO"))
    p = post(site, [("From:", "visitor@example.net"), ("Name:", "Joe")],
             [("report", "report.pdf", "application/pdf", PDF)])
    assert b"email sent." in p.stdout, site.log_text()
    log = site.log_text()
    assert f"[attachment report.pdf, {len(PDF)} bytes]" in log
    encoded = base64.b64encode(PDF).decode()
    for start in (0, 5000, len(encoded) - 80):
        assert encoded[start:start + 40] not in log


class SizedReceiver(Receiver):
    """aiosmtpd announcing SIZE with the given limit, keeping the MAIL FROM
    parameters of each message."""

    def __init__(self, limit):
        from aiosmtpd.controller import Controller

        self.messages = []
        receiver = self

        class Handler:
            async def handle_DATA(self, server, session, envelope):
                receiver.messages.append({
                    "options": list(envelope.mail_options),
                    "data": envelope.original_content,
                })
                return "250 OK"

        self.port = free_port()
        self.controller = Controller(Handler(), hostname="127.0.0.1",
                                     port=self.port, data_size_limit=limit)


def test_size_announced_and_limit_refuses_before_data(site):
    big = SizedReceiver(10_000_000)
    small = SizedReceiver(20_000)
    big.start()
    small.start()
    try:
        for receiver in (big, small):
            site.write_ini(INI.format(port=receiver.port, logging="errors",
                                      hello="EHLO"))
            p = post(site, [("From:", "visitor@example.net")],
                     [("report", "report.pdf", "application/pdf", PDF)])
            if receiver is big:
                assert b"email sent." in p.stdout, site.log_text()
                [m] = receiver.wait_for(1)
                [size] = [o for o in m["options"] if o.startswith("SIZE=")]
                assert int(size[5:]) in (len(m["data"]), len(m["data"]) - 2)
            else:
                assert b"email sent." not in p.stdout
                assert small.messages == []
                assert re.search(r"over the server's limit of 20000 bytes",
                                 site.log_text())
    finally:
        big.stop()
        small.stop()
