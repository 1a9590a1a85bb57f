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
    ("charset UTF-8\n", b"text/html; charset=UTF-8"),
    # The last one given counts; the sanitizer build checks the first is freed.
    ("charset ISO-8859-1\ncharset UTF-8\n", b"text/html; charset=UTF-8"),
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


def test_field_named_like_script_code_leaves_the_script_alone(site):
    script = ("<script>\nfunction check(f) {\n"
              "  if (!f.Name.value || !f.Email.value || !f.Text.value) "
              "return false;\n}\n</script>\n")
    site.write_file("sorry.html",
                    script + "<p>Sorry ||Name||</p>\n</html>\n")
    site.write_ini("failure_html_page sorry.html\nadd_kolvex_link false\n")
    # A cross-site post whose field names match the code between the bars.
    proc = site.run("+%21f.Email.value+=alert(document.cookie)//"
                    "&Name=%3Cb%3EAnn")
    assert proc.returncode == 0
    assert proc.stdout == (HEAD + script.encode() +
                           b"<p>Sorry &lt;b&gt;Ann</p>\n</html>\n")


@pytest.mark.parametrize("page", ["success.html", "failure.html"])
def test_sample_site_pages_render_as_before(site, page):
    site_folder = os.path.join(os.path.dirname(__file__), "..", "site")
    with open(os.path.join(site_folder, page), "rb") as f:
        text = f.read()
    site.write_file(page, text.decode())
    site.write_ini(f"failure_html_page {page}\n")
    proc = site.run("Name%3A=Ann+%3Cb%3E&Subject%3A=Tom+%26+%22Jerry%22"
                    "&Email%3A=ann%40example.com")
    footer = (b'<br><center><font size=-2><A HREF="https://tarvelo.org/">'
              b"Form mail by TARVELO</A><font size=+2></center>")
    # Every token of these pages stands in text, as before.
    expected = (text.replace(b"||Name:||", b"Ann &lt;b&gt;")
                .replace(b"||Subject:||", b"Tom &amp; &quot;Jerry&quot;")
                .replace(b"||Email:||", b"ann@example.com")
                .replace(b"</html>", footer + b"</html>"))
    assert proc.returncode == 0
    assert proc.stdout == HEAD + expected
