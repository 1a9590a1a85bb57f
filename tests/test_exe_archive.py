"""The submissions archive end to end: archive_file gets one exact JSON line
per post sent or queued, whole under concurrent runs, never through a link,
and "-archive_csv" turns it into a sheet Python's csv module reads back."""
import calendar
import csv
import io
import json
import os
import re
import subprocess
import time
from urllib.parse import urlencode

import pytest

from conftest import Receiver, free_port, multipart

INI = """smtp 127.0.0.1:{port}
smtp_timeout 5
logging debug
success_html_page {folder}/ok.html
failure_html_page {folder}/bad.html
headerline From: form@example.com
headerline To: owner@example.com
headerline Subject: Contact
use_submitted_variable_for_bodycontent Name:
attachment_types pdf
archive_file {archive}
{extra}"""
TIME = re.compile(r'"time":"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)"')
NAME = "Zoë \"Jo\", <b>\nline two"
PDF = b"%PDF-1.4\n" + bytes(range(256)) * 4


def archive_site(site, port, extra="", archive=None):
    site.write_file("ok.html", "<p>Thanks ||Name:||</p>\n")
    site.write_file("bad.html", "<p>Not sent</p>\n")
    archive = archive or os.path.join(site.folder, "archive.jsonl")
    site.write_ini(INI.format(port=port, folder=site.folder, archive=archive,
                              extra=extra))
    return archive


def read_lines(path):
    """The archive's lines; each one must end with its line feed."""
    with open(path, "rb") as f:
        data = f.read()
    assert data.endswith(b"\n")
    return data.decode().split("\n")[:-1]


def without_time(line):
    """The line with its time as T, after checking the time is now."""
    found = TIME.search(line)
    assert found, line
    stamp = calendar.timegm(time.strptime(found.group(1),
                                          "%Y-%m-%dT%H:%M:%SZ"))
    assert abs(stamp - time.time()) < 30
    return line.replace(found.group(0), '"time":"T"')


UPLOAD = multipart([("Name:", NAME)],
                   [("cv", "cv.pdf", "application/pdf", PDF)], "arch1vE")

# name, ini lines, env, body, the line with its time as T
LINE_CASES = [
    ("urlencoded", "", {"REMOTE_ADDR": "192.0.2.7"},
     urlencode({"Name:": NAME, "a,b": "=1+2"}).encode(),
     '{"form":"mailer.cgi","outcome":"sent","time":"T","fields":'
     '[["Name:","Zoë \\"Jo\\", <b>\\u000aline two"],["a,b","=1+2"]]}'),
    ("file and client", "client_ip_header yes\n",
     {"REMOTE_ADDR": "192.0.2.7", "CONTENT_TYPE": UPLOAD[1]}, UPLOAD[0],
     '{"form":"mailer.cgi","outcome":"sent","time":"T","client":"192.0.2.7",'
     '"fields":[["Name:","Zoë \\"Jo\\", <b>\\u000aline two"],'
     f'["cv",{{"file":"cv.pdf","size":{len(PDF)}}}]]}}'),
]


@pytest.mark.parametrize("name,extra,env,body,expected", LINE_CASES,
                         ids=[c[0] for c in LINE_CASES])
def test_line_is_exact_and_private(site, receiver, name, extra, env, body,
                                   expected):
    archive = archive_site(site, receiver.port, extra)
    result = site.run(body, env=env)
    assert result.stdout.endswith(b"<p>Thanks Zo\xc3\xab &quot;Jo&quot;, "
                                  b"&lt;b&gt;\nline two</p>\n")
    assert len(receiver.wait_for(1)) == 1
    lines = read_lines(archive)
    assert [without_time(line) for line in lines] == [expected]
    assert os.stat(archive).st_mode & 0o7777 == 0o600
    assert f"archive: added a line to {archive}." in site.log_messages()


def test_queued_post_is_archived_as_queued(site):
    spool = os.path.join(site.folder, "spool")
    os.mkdir(spool)
    # Nothing listens on the port: the message waits in the spool.
    archive = archive_site(site, free_port(), f"spool_folder {spool}\n")
    site.run(urlencode({"Name:": "Ann"}).encode())
    assert [without_time(line) for line in read_lines(archive)] == [
        '{"form":"mailer.cgi","outcome":"queued","time":"T","fields":'
        '[["Name:","Ann"]]}']


# name, ini lines, env, body
REFUSED_CASES = [
    ("honeypot", "honeypot_field website\n", {},
     urlencode({"Name:": "Ann", "website": "x"}).encode()),
    ("get", "", {"REQUEST_METHOD": "GET"}, b""),
    ("file type refused", "", {"CONTENT_TYPE": UPLOAD[1]},
     UPLOAD[0].replace(b"cv.pdf", b"cv.exe")),
]


@pytest.mark.parametrize("name,extra,env,body", REFUSED_CASES,
                         ids=[c[0] for c in REFUSED_CASES])
def test_post_not_sent_leaves_no_line(site, receiver, name, extra, env, body):
    archive = archive_site(site, receiver.port, extra)
    site.run(body, env=env)
    assert not os.path.exists(archive)


def test_server_refusal_leaves_no_line(site):
    # A port with nothing behind it and no spool: the post fails.
    archive = archive_site(site, free_port())
    result = site.run(urlencode({"Name:": "Ann"}).encode())
    assert result.stdout.endswith(b"<p>Not sent</p>\n")
    assert not os.path.exists(archive)


def test_concurrent_runs_leave_whole_lines(site, receiver):
    archive = archive_site(site, receiver.port)
    # About 8 kB each, in lines short enough for the SMTP receiver.
    values = ["\n".join([f"{i:02d}" + chr(0x41 + i) * 60] * 130)
              for i in range(16)]
    env = {"PATH": "/usr/bin:/bin", "GATEWAY_INTERFACE": "CGI/1.1",
           "REQUEST_METHOD": "POST",
           "CONTENT_TYPE": "application/x-www-form-urlencoded"}
    runs = []
    for value in values:
        body = urlencode({"Name:": value}).encode()
        runs.append((subprocess.Popen(
            [site.exe], stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
            env={**env, "CONTENT_LENGTH": str(len(body))}, cwd=site.folder),
            body))
    for process, body in runs:
        process.stdin.write(body)
        process.stdin.close()
    for process, _ in runs:
        assert process.wait(timeout=60) == 0
    lines = read_lines(archive)
    assert len(lines) == 16
    got = sorted(json.loads(line)["fields"][0][1] for line in lines)
    assert got == values


@pytest.mark.parametrize("shape", ["link", "folder"])
def test_path_that_is_no_file_is_refused(site, receiver, shape):
    archive = os.path.join(site.folder, "archive.jsonl")
    target = os.path.join(site.folder, "target")
    with open(target, "w") as f:
        f.write("kept\n")
    if shape == "link":
        os.symlink(target, archive)
    else:
        os.mkdir(archive)
    archive_site(site, receiver.port)
    result = site.run(urlencode({"Name:": "Ann"}).encode())
    assert result.stdout.endswith(b"<p>Thanks Ann</p>\n")
    assert len(receiver.wait_for(1)) == 1
    with open(target) as f:
        assert f.read() == "kept\n"
    why = ("a symbolic link, not followed" if shape == "link"
           else "open: Is a directory")
    assert (f"archive: could not add the submission to {archive}: {why}"
            in site.log_messages())


def test_archive_csv_reads_back_to_the_same_values(site, receiver):
    archive = archive_site(site, receiver.port)
    posts = [{"Name:": NAME, "Note": "a,b"},
             {"Note": "Müller said \"hi\"\r\nbye", "Name:": "Åsa",
              "Sum": "=1+2"}]
    for post in posts:
        site.run(urlencode(post).encode())
    records = [json.loads(line) for line in read_lines(archive)]
    with open(archive, "a") as f:
        f.write('{"time":"T","outcome":"se')  # a line being written
    result = site.run(args=["-archive_csv", archive], content_length=False)
    assert result.returncode == 0
    assert result.stderr == b"-archive_csv: line 3 is no record; skipped\n"
    assert result.stdout.startswith(b"\xef\xbb\xbf")
    text = result.stdout[3:].decode()
    assert text.endswith("\r\n") and "\r\n" in text
    rows = list(csv.reader(io.StringIO(text, newline="")))
    assert rows[0] == ["time", "outcome", "Name:", "Note", "Sum"]
    expected = []
    for record in records:
        values = dict(record["fields"])
        expected.append([record["time"], "sent", values.get("Name:", ""),
                         values.get("Note", ""), values.get("Sum", "")])
    # A formula start is shown as text, as the README says.
    expected[1][4] = "'=1+2"
    assert rows[1:] == expected
    assert expected[1][3] == "Müller said \"hi\"\nbye"


def test_archive_csv_of_unreadable_file_fails(site):
    result = site.run(args=["-archive_csv", site.folder],
                      content_length=False)
    assert result.returncode == 3
    assert result.stdout == b""
    assert result.stderr == (f"-archive_csv: cannot read {site.folder}: "
                             "Is a directory\n").encode()
