"""The executable as a web server runs it: paths, the run sequence, form
intake, the ini file's logging setting, the fatal page and exit codes."""
import os
import re
import subprocess
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
