"""Reply pages end to end: the page header's charset, page settings that name
something other than a regular file, and visitor text that must not reach the
owner's script. No mail server is needed: without headers nothing is sent and
the failure page is shown."""
import os

import pytest

HEAD = b"Pragma: no-cache\nContent-type: text/html\n\n"
NOT_SENT = b"<HTML><BODY>\nemail NOT sent.\n"


@pytest.mark.parametrize("lines, content_type", [
    ("charset ISO-8859-1\n", b"text/html; charset=ISO-8859-1"),
    ("charset windows-1252\ncharset UTF-8\n", b"text/html; charset=UTF-8"),
    # A value that is not a charset name is not taken, so nothing is named.
    ("charset x;y\n", b"text/html"),
    ("", b"text/html"),
])
def test_page_header_names_the_ini_charset(site, lines, content_type):
    site.write_file("sorry.html", "<p>Sorry</p>\n")
    site.write_ini(lines + "failure_html_page sorry.html\n")
    proc = site.run("Name=Ann")
    assert proc.returncode == 0
    assert proc.stdout == (b"Pragma: no-cache\nContent-type: " +
                           content_type + b"\n\n<p>Sorry</p>\n")


@pytest.mark.parametrize("kind, reason", [
    ("zero", "(22)(Invalid argument)"),
    ("fifo", "(22)(Invalid argument)"),
    ("folder", "(21)(Is a directory)"),
])
def test_page_that_is_not_a_regular_file_gives_the_built_in_page(
        site, kind, reason):
    if kind == "zero":
        page = "/dev/zero"
    else:
        page = os.path.join(site.folder, kind)
        os.mkfifo(page) if kind == "fifo" else os.mkdir(page)
    site.write_ini(f"failure_html_page {page}\n")
    # Before, /dev/zero was read until killed and a FIFO blocked the open.
    proc = site.run("Name=Ann", timeout=10)
    message = (f'"failure_html_page" message file ({page}) is not readable '
               f"for the reason {reason}.")
    assert proc.returncode == 0
    assert proc.stdout == (HEAD + NOT_SENT + message.encode() +
                           b"</BODY></HTML>\n")
    messages = site.log_messages()
    assert message in messages
    assert messages[-1] == "ended."

