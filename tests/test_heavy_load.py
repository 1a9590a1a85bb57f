"""Many visitors at once: 32 different forms posted at the same moment through
lighttpd, each run delivering to the real SMTP receiver. Every visitor gets
their own page, every form arrives as its own mail, and the shared log holds
every run's lines whole: each run's lines, picked out of the mixed log by
its pid, are exactly the lines the same form logs when posted alone.
"""
import os
import re
import shutil
import subprocess
import threading
import urllib.parse
import urllib.request
from concurrent.futures import ThreadPoolExecutor

import pytest

from conftest import BIN, free_port, start_lighttpd, wait_for_port

RUNS = 32

pytestmark = pytest.mark.skipif(
    not os.path.exists("/usr/sbin/lighttpd") and not os.environ.get("CI"),
    reason="needs lighttpd (scripts/install-deps)")

# A log line starts with its stamp and pid; a message that holds line feeds
# (the protocol trace does) goes on over the next physical lines.
STAMP = re.compile(r"^\d{1,2}(st|nd|rd|th) [A-Z][a-z]+ \d{4},  \d{1,2}:\d\d:"
                   r"\d\d [ap]m - pid\((\d+)\) - ")


CRLF = "\r\n"

INI = """smtp 127.0.0.1:{port}
logging debug
hello_method HELO
success_html_page {page}
headerline To: "Me" <me@example.com>
headerline From: "Me" <me@example.com>
headerline Subject: Form Submission Data
bodycontent_line Here are the details that they submitted:
use_submitted_variable_for_bodycontent Name:
use_submitted_variable_for_bodycontent Email:
use_submitted_variable_for_bodycontent Subject:
use_submitted_variable_for_bodycontent Comments:
"""

PAGE = "<h1>Thank you, ||Name:||!</h1>\n<p>||Subject:||</p>\n"


def expected_mail(name, email, subject, comment_lines):
    lines = [
        'To: "Me" <me@example.com> ',
        'From: "Me" <me@example.com> ',
        "Subject: Form Submission Data ",
        "X-TARVELO: sent by web form submition activated CGI program.",
        "",
        " Here are the details that they submitted: ",
        " Name: " + name,
        " Email: " + email,
        " Subject: " + subject,
        " Comments: " + comment_lines[0],
    ]
    # Later lines of a value stand under the first, after the name.
    lines += [" " * len(" Comments: ") + line for line in comment_lines[1:]]
    return (CRLF.join(lines) + CRLF + CRLF).encode()


def lay_out_site(folder, smtp_port):
    """The gateway in cgi-bin with its ini beside it and its page outside the
    document root. Returns the document root. The mail has no Date or
    Message-ID, so the same form logs the same lines in every run."""
    docroot = os.path.join(folder, "site")
    cgi_bin = os.path.join(docroot, "cgi-bin")
    os.makedirs(cgi_bin)
    page = os.path.join(folder, "success.html")
    with open(page, "w") as f:
        f.write(PAGE)
    shutil.copy(BIN, os.path.join(cgi_bin, "tarvelo.cgi"))
    with open(os.path.join(cgi_bin, "tarvelo.ini"), "w") as f:
        f.write(INI.format(port=smtp_port, page=page))
    return docroot


def form_of(i):
    """Form i: its own name, address, subject, and a number of comment lines
    that grows with i, so the runs differ in size too."""
    comments = ["Form %02d line %d" % (i, k) for k in range(i + 1)]
    fields = [("Name:", "Person %02d" % i), ("Email:", "p%02d@example.org" % i),
              ("Subject:", "Topic %02d & <%d>" % (i, i)),
              ("Comments:", "\r\n".join(comments))]
    return fields, comments


def post(base, fields):
    body = urllib.parse.urlencode(fields).encode()
    with urllib.request.urlopen(base + "/cgi-bin/tarvelo.cgi", body,
                                timeout=30) as response:
        return response.status, response.read().decode()


def runs_in_log(path):
    """The log's messages grouped by run: {form number: [messages]}."""
    with open(path, "rb") as f:
        text = f.read().decode("utf-8")
    by_pid = {}
    current = None
    for line in text.split("\n")[:-1]:
        match = STAMP.match(line)
        if match:
            current = by_pid.setdefault(match.group(2), [])
            current.append(line[match.end():])
        else:
            assert current is not None, "log starts inside a line: %r" % line
            current[-1] += "\n" + line
    runs = {}
    for pid, messages in by_pid.items():
        numbers = set(re.findall(r"Person\+(\d\d)", "\n".join(messages)))
        assert len(numbers) == 1, (pid, numbers)
        runs[int(numbers.pop())] = messages
    return runs


@pytest.fixture
def web(tmp_path, receiver):
    docroot = lay_out_site(str(tmp_path), receiver.port)
    port = free_port()
    server = start_lighttpd(str(tmp_path), docroot, port)
    try:
        wait_for_port(port)
        yield "http://127.0.0.1:%d" % port, os.path.join(docroot, "cgi-bin")
    finally:
        server.terminate()
        server.wait(timeout=10)


def check_pages_and_mails(pages, receiver):
    for i, (status, page) in enumerate(pages):
        assert status == 200
        assert "<h1>Thank you, Person %02d!</h1>" % i in page
        assert "<p>Topic %02d &amp; &lt;%d&gt;</p>" % (i, i) in page
    mails = receiver.wait_for(RUNS, timeout=30)
    assert len(mails) == RUNS
    want = sorted(expected_mail("Person %02d" % i, "p%02d@example.org" % i,
                                "Topic %02d & <%d>" % (i, i), form_of(i)[1])
                  for i in range(RUNS))
    assert sorted(m["data"] for m in mails) == want


def test_32_runs_at_once_keep_mails_pages_and_log_lines_apart(web, receiver):
    base, cgi_bin = web
    log = os.path.join(cgi_bin, "tarvelo.log")

    # Alone, one after the other: what each form logs.
    alone = [post(base, form_of(i)[0]) for i in range(RUNS)]
    check_pages_and_mails(alone, receiver)
    reference = runs_in_log(log)
    assert sorted(reference) == list(range(RUNS))
    os.remove(log)
    receiver.messages.clear()

    # All at once: every thread posts as soon as all are ready.
    ready = threading.Barrier(RUNS)

    def visitor(i):
        ready.wait(timeout=30)
        return post(base, form_of(i)[0])

    with ThreadPoolExecutor(RUNS) as pool:
        together = list(pool.map(visitor, range(RUNS)))
    check_pages_and_mails(together, receiver)

    runs = runs_in_log(log)
    assert sorted(runs) == list(range(RUNS))
    for i in range(RUNS):
        assert runs[i] == reference[i], "run %d" % i
        assert runs[i][-1] == "ended."
