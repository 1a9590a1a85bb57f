"""The bodies a browser or fetch() sends besides URL-encoded ones, through the
real executable to a real SMTP receiver: multipart/form-data, text/plain and
application/json give the same mail, field for field; a file the ini does not
take refuses the whole post."""
import email.policy
import json
import time
from email.parser import BytesParser
from urllib.parse import urlencode

import pytest

from test_exe_attachments import SizedReceiver

INI = """smtp 127.0.0.1:{port}
logging debug
add_standard_headers
no_padding
{extra}use_submitted_variable_for_headerline From:
headerline To: owner@example.com
headerline Subject: intake
use_submitted_variable_for_bodycontent Name:
use_submitted_variable_for_bodycontent Comments:
use_submitted_variable_for_bodycontent Upload:
"""

FROM = "joe@example.com"
NAME = "J\u00f6e \"Q\" = Bloggs"
COMMENTS = "line one\nline two, 50%20off"  # no "=": text/plain would split there


def multipart(parts, boundary="----formdata7Qx"):
    out = b""
    for name, value, filename in parts:
        disposition = f'form-data; name="{name}"'
        if filename is not None:
            disposition += f'; filename="{filename}"'
        out += f"--{boundary}\r\nContent-Disposition: {disposition}\r\n".encode()
        if filename is not None:
            out += b"Content-Type: application/octet-stream\r\n"
        out += b"\r\n" + value + b"\r\n"
    return out + f"--{boundary}--\r\n".encode()


def text_plain(fields):
    return "".join(f"{k}={v}\r\n".replace("\n", "\r\n").replace("\r\r", "\r")
                   for k, v in fields).encode()


def body_lines(data):
    msg = BytesParser(policy=email.policy.default).parsebytes(data)
    text = msg.get_body(preferencelist=("plain",)).get_content()
    return text.replace("\r\n", "\n")


def post(site, receiver, body, content_type, extra=""):
    site.write_ini(INI.format(port=receiver.port, extra=extra))
    return site.run(body, env={"CONTENT_TYPE": content_type})


def test_each_encoding_gives_the_same_fields(site, receiver):
    # The URL-encoded post of the same fields is the reference: every other
    # encoding must give the very same mail text.
    fields = [("From:", FROM), ("Name:", NAME), ("Comments:", COMMENTS)]
    crlf = [(k, v.replace("\n", "\r\n")) for k, v in fields]
    cases = [
        ("application/x-www-form-urlencoded", urlencode(crlf).encode()),
        ("multipart/form-data; boundary=\"----formdata7Qx\"",
         multipart([(k, v.encode(), None) for k, v in crlf])),
        ("text/plain; charset=UTF-8", text_plain(fields)),
        ("application/json", json.dumps(dict(fields)).encode()),
    ]
    texts = []
    for i, (content_type, body) in enumerate(cases):
        p = post(site, receiver, body, content_type)
        assert p.returncode == 0, p.stderr
        assert b"email sent." in p.stdout, (content_type, p.stdout)
        mail = receiver.wait_for(i + 1)[i]
        assert mail["from"] == FROM
        texts.append(body_lines(mail["data"]))
    assert texts[0].startswith(f"Name: {NAME}\nComments: line one\n")
    assert "line two, 50%20off\n" in texts[0]
    assert texts[1:] == [texts[0]] * 3


def test_allowed_file_reads_as_its_name_and_size(site, receiver):
    body = multipart([("From:", FROM.encode(), None),
                      ("Upload:", b"%PDF-1.4\r\n\x00\xff--", "C:\\docs\\report.PDF")])
    p = post(site, receiver, body, "multipart/form-data; boundary=----formdata7Qx",
             extra="attachment_types pdf, png\n")
    assert b"email sent." in p.stdout, p.stdout
    text = body_lines(receiver.wait_for(1)[0]["data"])
    assert "Upload: report.PDF (14 bytes)\n" in text, text
    assert ("file part: field (Upload:) file (report.PDF) "
            "type (application/octet-stream) 14 bytes") in site.log_messages()


def test_multipart_over_the_ini_limit_is_refused_unread(site, receiver):
    # 10 + 99,999 bytes may come; one more is refused before a byte is read,
    # so the run does not wait for a body that never arrives.
    site.write_ini(INI.format(port=receiver.port,
                              extra="max_attachment_bytes 10\n"))
    p = site.run(b"", content_length=100010, timeout=10,
                 env={"CONTENT_TYPE": "multipart/form-data; boundary=b"})
    assert p.returncode == 0
    assert ("request body of 100010 bytes is over the limit of 100009"
            in site.log_messages())
    # The scan of the ini before the form is read logs nothing of its own.
    assert sum("max_attachment_bytes" in m for m in site.log_messages()) == 1
    assert receiver.messages == []


REFUSALS = [
    # (case, content type, body, ini lines, words of the errors line)
    ("unknown type", "text/csv", b"a,b\r\n", "",
     "request body of type text/csv is not a form"),
    ("nested JSON", "application/json", b'{"Name:": {"first": "Jo"}}', "",
     "could not be read: nested object or array"),
    ("NUL in JSON", "application/json", b'{"Name:": "a\\u0000b"}', "",
     "could not be read: \\u0000 in a string"),
    ("file type not allowed", "multipart/form-data; boundary=----formdata7Qx",
     multipart([("From:", FROM.encode(), None),
                ("Upload:", b"MZ\x90\x00", "setup.exe")]),
     "attachment_types pdf\n",
     "file (setup.exe) in field (Upload:) refused: its type is not in "
     "attachment_types"),
    ("files over the limit", "multipart/form-data; boundary=----formdata7Qx",
     multipart([("From:", FROM.encode(), None),
                ("Upload:", b"%PDF" + b"x" * 60, "a.pdf"),
                ("Upload:", b"%PDF" + b"y" * 60, "b.pdf")]),
     "attachment_types pdf\nmax_attachment_bytes 100\n",
     "file (b.pdf) in field (Upload:) refused"),
    ("body over the limit", "text/plain",
     b"Name:=" + b"x" * 100000 + b"\r\n", "",
     "request body of 100008 bytes is over the limit of 99999"),
    ("message over the server's SIZE", "multipart/form-data; boundary=----formdata7Qx",
     multipart([("From:", FROM.encode(), None),
                ("Upload:", b"%PDF" + b"z" * 30000, "big.pdf")]),
     "attachment_types pdf\nhello_method EHLO\n",
     "over the server's limit of 20000 bytes"),
]


@pytest.mark.parametrize("case,content_type,body,extra,words", REFUSALS,
                         ids=[r[0] for r in REFUSALS])
def test_refused_posts_send_nothing(site, case, content_type, body, extra,
                                    words):
    # The last row needs a server that announces SIZE 20000 (RFC 1870).
    receiver = SizedReceiver(20000)
    receiver.start()
    try:
        p = post(site, receiver, body, content_type, extra=extra)
        assert p.returncode == 0
        assert b"email NOT sent." in p.stdout, p.stdout
        assert words in site.log_text(), site.log_text()
        assert "is not POST" not in site.log_text()
        time.sleep(0.1)
        assert receiver.messages == []
    finally:
        receiver.stop()
