"""The executable under valgrind memcheck, over runs that walk every module:
mail delivered (HELO and EHLO), server refused, server hanging up inside a
reply, the largest bodies, a missing ini, a missing page, and the tools.
Memcheck must report no error at all.

Memcheck sees what the sanitizer build cannot: a branch on uninitialised
memory. It cannot follow the static executable (it cannot replace malloc
there, and the static C library trips it), so this test links the build's
own objects again, as the build does but without -static, into an ordinary
dynamic executable. Leaks are not looked for: a run keeps every table until
it exits, by design.
"""
import os
import shlex
import shutil
import subprocess

import pytest

from conftest import BIN, SANITIZE, CgiSite, free_port
from test_exe_faults import (FaultyServer, many_pairs_body, mail_ini,
                             oversized_body)

pytestmark = [
    pytest.mark.skipif(SANITIZE, reason="memcheck and ASan exclude each other"),
    pytest.mark.skipif(shutil.which("valgrind") is None and
                       not os.environ.get("CI"),
                       reason="needs valgrind (scripts/install-deps)"),
]

BUILD = os.environ.get("TARVELO_BUILD_DIR", os.path.dirname(BIN))


@pytest.fixture(scope="module")
def dynamic_exe(tmp_path_factory):
    """The build's own link of the executable, without -static."""
    out = str(tmp_path_factory.mktemp("valgrind") / "tarvelo")
    with open(os.path.join(BUILD, "CMakeFiles", "tarvelo.dir", "link.txt")) as f:
        args = shlex.split(f.read())
    # Without -static; and without the link map, which belongs to the
    # build's own executable (the layout check reads it).
    args = [a for a in args
            if a != "-static" and not a.startswith("-Wl,-Map=")]
    args[args.index("-o") + 1] = out
    subprocess.run(args, cwd=BUILD, check=True, timeout=120)
    return out


class MemcheckSite(CgiSite):
    def __init__(self, folder, exe):
        super().__init__(folder)
        shutil.copy(exe, self.exe)
        self.report = os.path.join(self.folder, "memcheck.txt")

    def run(self, body=b"", content_length=None, args=(), env=None,
            stdin=None, timeout=60):
        """Runs under memcheck; fails the test on any memcheck error."""
        if isinstance(body, str):
            body = body.encode()
        e = {"PATH": "/usr/bin:/bin",
             "CONTENT_LENGTH": str(len(body) if content_length is None
                                   else content_length)}
        if not args:  # a switch is a run by hand, without CGI environment
            e.update({"GATEWAY_INTERFACE": "CGI/1.1", "REQUEST_METHOD": "POST"})
        e.update(env or {})
        proc = subprocess.run(
            ["valgrind", "-q", "--error-exitcode=99", "--leak-check=no",
             "--log-file=" + self.report, self.exe, *args],
            input=body if stdin is None else stdin, capture_output=True,
            env=e, cwd=self.folder, timeout=timeout)
        with open(self.report) as f:
            report = f.read()
        assert report == "" and proc.returncode != 99, report
        return proc


@pytest.fixture
def vsite(tmp_path, dynamic_exe):
    return MemcheckSite(tmp_path, dynamic_exe)


@pytest.mark.parametrize("hello", ["HELO", "EHLO"])
def test_delivered_mail(vsite, receiver, hello):
    vsite.write_file("ok.html", "<html><p>Thanks, ||Name||.</p></html>\n")
    vsite.write_ini(mail_ini(receiver.port,
                             f"hello_method {hello}\nsuccess_html_page ok.html\n"
                             "sendall true\nbodycontent_line Hi\n"
                             "use_submitted_variable_for_bodycontent Text\n"))
    proc = vsite.run("Name=%3CAnn%3E&Text=one%0D%0A.two%0Athree")
    assert proc.returncode == 0
    assert b"<p>Thanks, &lt;Ann&gt;.</p>" in proc.stdout
    assert len(receiver.wait_for(1)) == 1


def test_refused_connection(vsite):
    vsite.write_ini(mail_ini(free_port()))
    proc = vsite.run("Name=Ann")
    assert proc.returncode == 0
    assert b"email NOT sent." in proc.stdout


def test_server_hangs_up_inside_a_reply(vsite):
    server = FaultyServer("RCPT", partial=b"250-ok\r\n25")
    vsite.write_ini(mail_ini(server.port))
    proc = vsite.run("Name=Ann")
    server.finish()
    assert proc.returncode == 0
    assert b"email NOT sent." in proc.stdout


@pytest.mark.parametrize("make_body", [many_pairs_body, oversized_body])
def test_largest_bodies(vsite, receiver, make_body):
    body, _ = make_body()
    vsite.write_ini(mail_ini(receiver.port, "sendall true\n"))
    proc = vsite.run(body)
    assert proc.returncode == 0
    assert b"email sent." in proc.stdout
    assert len(receiver.wait_for(1)) == 1


def test_missing_ini_and_missing_page(vsite):
    assert vsite.run("a=1").returncode == 1
    vsite.write_ini("success_html_page gone.html\nfailure_html_page gone.html\n")
    proc = vsite.run("a=1")
    assert proc.returncode == 0
    assert b"is not readable" in proc.stdout


@pytest.mark.parametrize("args", [["-version"], ["-FAQ"], ["-?"]])
def test_printing_tools(vsite, args):
    proc = vsite.run(args=args, stdin=b"n\n")
    assert proc.returncode == 0
    assert proc.stdout


def test_blank_log(vsite):
    assert vsite.run(args=["-blanklog"]).returncode == 0
    assert os.path.isfile(vsite.log)
