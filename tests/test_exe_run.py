"""The executable as a web server runs it: paths, the run sequence, form
intake, the ini file's logging setting, the fatal page and exit codes."""
import os
import re
import signal
import subprocess
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import pytest

NO_INI_PAGE = (b"Pragma: no-cache\nContent-type: text/html\n\n"
               b"<HTML><BODY>\nerror: The ini file could not be opened..\n"
               b"</BODY></HTML>\n")


def test_missing_ini_gives_error_page_and_exit_1(site):
    p = site.run("a=1&b=x+y")
    assert p.returncode == 1
    assert p.stdout == NO_INI_PAGE
    msgs = site.log_messages()
    assert msgs[0] == "starting version 1.0y"
    assert msgs[1] == "argv[0] == " + site.exe
    assert msgs[2] == "Log file == " + site.log
    assert msgs[3] == "Ini file == " + site.ini
    assert msgs[4:] == [
        "getting form info.", "FORM SIZE 9", "", "val [0] (a=1)", "",
        "val [1] (b=x+y)", "", "loading config file.",
        "The ini file could not be opened.", "ended"]
    # The fatal message has no stamp of its own.
    assert "\nThe ini file could not be opened.\n" in site.log_text()


def test_log_that_cannot_be_opened_exits_2_silently(site):
    os.mkdir(site.log)  # a folder where the log file should be
    p = site.run("a=1")
    assert p.returncode == 2
    assert p.stdout == b""


def test_folder_as_ini_is_not_a_crash(site):
    os.mkdir(site.ini)
    p = site.run("a=1")
    assert p.returncode in (0, 1)
    assert p.stdout.startswith(b"Pragma: no-cache\n")


@pytest.mark.parametrize("body,length,got", [
    (b"a=1&b=2", 10, 7),         # the client closed early
    (b"a=1", -5, 0),             # negative: nothing is read
])
def test_content_length_mismatch_is_logged(site, body, length, got):
    site.write_ini("logging debug\n")
    p = site.run(body, content_length=length)
    assert p.returncode == 0
    msgs = site.log_messages()
    assert f"FORM SIZE {length}" in msgs
    assert f"FORM DATA SIZE != CONTENT_LENGTH, got({got}), CL({length})" in msgs


def test_never_reads_past_content_length(site):
    site.write_ini("logging debug\n")
    site.run(b"a=1&b=2", content_length=3)
    msgs = site.log_messages()
    assert "val [0] (a=1)" in msgs
    assert not any(m.startswith("val [1]") for m in msgs)
    assert not any("FORM DATA SIZE" in m for m in msgs)


def test_content_length_matching_logs_no_error(site):
    site.write_ini("logging debug\n")
    site.run(b"a=1&b=2")
    assert not any("FORM DATA SIZE" in m for m in site.log_messages())


def test_body_above_limit_reads_99999_bytes(site):
    site.write_ini("logging debug\n")
    body = b"a=" + b"x" * 199998
    p = site.run(body, content_length=200000)
    assert p.returncode == 0
    msgs = site.log_messages()
    assert "FORM DATA SIZE != CONTENT_LENGTH, got(99999), CL(200000)" in msgs
    pair = [m for m in msgs if m.startswith("val [0] (")][0]
    assert pair == "val [0] (a=" + "x" * 99997 + ")"


def test_logging_errors_silences_later_debug_lines(site):
    site.write_ini("smtp 127.0.0.1:1\nlogging errors\n"
                   "headerline Subject: s\n")
    p = site.run(b"a=1")
    assert p.returncode == 0
    msgs = site.log_messages()
    # Written before the ini was read:
    assert "getting form info." in msgs and "loading config file." in msgs
    assert "line used from ini file {smtp 127.0.0.1:1}" in msgs
    # Not written after it:
    assert "line used from ini file {logging errors}" not in msgs
    assert "add_header_line(Subject: s,)" not in msgs
    assert "ended." not in msgs
    # Error lines always are.
    assert any(m.startswith("email not sent due to From") for m in msgs)


def test_run_without_environment_is_a_cgi_run(site):
    site.write_ini("logging debug\n")
    p = site.run(content_length=False)
    assert p.returncode == 0
    assert "FORM SIZE 0" in site.log_messages()
    assert site.log_messages()[-1] == "ended."


def test_version_switch_prints_only_the_version_line(site):
    p = site.run(args=["-version"])
    assert p.returncode == 0
    assert re.fullmatch(rb"\nTARVELO [^\n]*Version: 1\.0y\n", p.stdout)
    assert not os.path.exists(site.log)
    q = site.run(args=["-?"])
    assert q.stdout == p.stdout


def test_version_with_further_argument_is_not_the_version(site):
    site.write_ini("")
    p = site.run(args=["-version", "more"], stdin=b"")
    assert p.returncode == 0
    assert b"Version: 1.0y" not in p.stdout
    msgs = site.log_messages()
    assert msgs[:2] == ["starting version 1.0y", "argv[0] == " + site.exe]


def test_exe_and_cgi_names_share_the_ini(tmp_path):
    from conftest import CgiSite
    s = CgiSite(tmp_path, name="gateway.exe")
    assert s.ini.endswith("gateway.ini")
    s.write_ini("logging debug\n")
    assert s.run(b"").returncode == 0
    assert os.path.exists(os.path.join(str(tmp_path), "gateway.log"))


def test_bare_name_with_folder_as_working_directory(site):
    # busybox httpd starts the script by its bare name from its folder.
    site.write_ini("logging debug\n")
    p = subprocess.run(["./" + os.path.basename(site.exe)], input=b"",
                       capture_output=True, cwd=site.folder,
                       env={"CONTENT_LENGTH": "0"})
    assert p.returncode == 0
    assert "ended." in site.log_messages()


def test_32_concurrent_runs_write_whole_long_lines(site):
    site.write_ini("logging debug\n")
    payloads = [chr(ord("A") + i % 26) * (5000 + 37 * i) for i in range(32)]

    def run(i):
        body = f"p{i}={payloads[i]}".encode()
        return site.run(body).returncode

    with ThreadPoolExecutor(max_workers=32) as pool:
        codes = list(pool.map(run, range(32)))
    assert codes == [0] * 32
    seen = set()
    line_re = re.compile(r"^\d+(st|nd|rd|th) \w+ \d{4},  \d{1,2}:\d\d:\d\d [ap]m"
                         r" - pid\(\d+\) - ")
    for line in site.log_text().split("\n"):
        if "val [0] (" not in line:
            continue
        # A split or interleaved line would lose its stamp or its payload.
        assert line_re.match(line), line[:120]
        m = re.search(r"val \[0\] \(p(\d+)=(.*)\)$", line)
        if m:
            i = int(m.group(1))
            assert m.group(2) == payloads[i]
            seen.add(i)
    assert seen == set(range(32))


# --- a web server's run ------------------------------------------------------

CGI = {"GATEWAY_INTERFACE": "CGI/1.1", "REQUEST_METHOD": "POST"}
MAIL_INI = """smtp 127.0.0.1:{port}
logging debug
headerline To: owner@example.com
headerline From: form@example.com
headerline Subject: s
"""


@pytest.mark.parametrize("args", [
    ["-blanklog"], ["-version_insert_filename", "mailer.ini"], ["-FAQ"],
    ["-version", "x"]])
def test_cgi_run_takes_no_switches_from_the_query_string(site, args):
    # RFC 3875 4.4: ?-blanklog+x may arrive as argv "-blanklog", "x".
    site.write_ini("logging debug\n")
    with open(site.log, "w") as f:
        f.write("kept line\n")
    p = site.run(b"a=1", args=args, env=CGI)
    assert p.returncode == 0
    assert site.log_text().startswith("kept line\n")
    assert os.path.exists(site.ini)
    assert p.stdout == site.run(b"a=1").stdout
    assert (f"run by a web server: {len(args)} command-line argument(s) "
            "ignored.") in site.log_messages()


@pytest.mark.parametrize("method", ["GET", "HEAD", "post"])
def test_only_post_sends_mail(site, receiver, method):
    site.write_ini(MAIL_INI.format(port=receiver.port))
    p = site.run(b"a=1", env={"REQUEST_METHOD": method})
    assert p.returncode == 0
    assert b"email NOT sent." in p.stdout
    assert receiver.messages == []
    msgs = site.log_messages()
    i = msgs.index(f"request method {method} is not POST: no mail sent")
    assert msgs[i - 1] == "line used from ini file {headerline Subject: s}"
    assert msgs[i + 1] == "sending failure reply message."
    assert "getting form info." not in msgs
    assert not any(m.startswith("FORM SIZE") for m in msgs)


def test_long_body_is_read_to_its_end(site):
    # A web server still writing the body gets a broken pipe if the
    # program stops reading, and the visitor gets no reply (RFC 3875 4.2).
    site.write_ini("logging errors\n")
    body = b"a=" + b"x" * 299998
    env = {"PATH": "/usr/bin:/bin", "CONTENT_LENGTH": str(len(body)), **CGI}
    proc = subprocess.Popen([site.exe], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, env=env,
                            cwd=site.folder)
    broken = []

    def web_server():
        try:
            proc.stdin.write(body)
            proc.stdin.close()
        except BrokenPipeError as e:
            broken.append(e)

    writer = threading.Thread(target=web_server)
    writer.start()
    page = proc.stdout.read()
    assert proc.wait(timeout=30) == 0
    writer.join()
    assert broken == []
    assert page.startswith(b"Pragma: no-cache\n")
    assert ("FORM DATA SIZE != CONTENT_LENGTH, got(99999), CL(300000)"
            in site.log_messages())


# --- the log -----------------------------------------------------------------

FORGED = "1st January 2001,  9:10:55 am - pid(4242) - email sent! (1)"
RECORD = re.compile(r"\d+(st|nd|rd|th) \w+ \d{4},  ?\d{1,2}:\d\d:\d\d [ap]m"
                    r" - pid\((\d+)\) - ")


@pytest.mark.parametrize("logging", ["errors", "debug"])
def test_visitor_cannot_write_a_record(site, logging):
    site.write_ini(f"logging {logging}\n"
                   "use_submitted_variable_for_bodycontent t\n"
                   "use_submitted_variable_for_headerline u\n")
    forged = FORGED.encode()
    p = site.run(b"t=x\n" + forged + b"&u=y\r" + forged)
    assert p.returncode == 0
    text = site.log_text()
    pids = {m.group(2) for m in map(RECORD.match, text.split("\n")) if m}
    assert len(pids) == 1 and "4242" not in pids
    assert "\n" + FORGED not in text and "\r" + FORGED not in text
    msgs = site.log_messages()
    data_lines = [m for m in msgs if m.startswith(
        ("val [", "Form stuff", "add_header_line(", "add_body_variable("))]
    if logging == "errors":
        # Nothing a visitor typed is kept at this level but the message
        # that could not be sent.
        assert data_lines == []
    else:
        assert len(data_lines) == 7
        assert "val [1] (u=y\\r" + FORGED + ")" in msgs
        assert "\n\t" + FORGED in text


def test_lines_wait_in_memory_while_the_form_is_read(site):
    site.write_ini("logging debug\n")
    env = {"PATH": "/usr/bin:/bin", "CONTENT_LENGTH": "3", **CGI}
    proc = subprocess.Popen([site.exe], stdin=subprocess.PIPE,
                            stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL, env=env,
                            cwd=site.folder)
    try:
        time.sleep(0.5)
        assert site.log_text() == ""
    finally:
        # A web server that gives up stops the run: the lines still come.
        proc.terminate()
        assert proc.wait(timeout=10) == -signal.SIGTERM
        proc.stdin.close()
    assert site.log_messages() == [
        "starting version 1.0y", "argv[0] == " + site.exe,
        "Log file == " + site.log, "Ini file == " + site.ini,
        "getting form info.", "FORM SIZE 3", ""]
