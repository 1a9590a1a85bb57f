"""The command-line tools through the built executable: the help and the
demonstration ini file, the FAQ page, the blank log and the release renamer,
each reached through the switch dispatch."""
import os
import re
import shutil
import subprocess

import pytest

from conftest import BIN, ROOT, CgiSite

QUESTION = b"Would you like me to generate a demo ini file for you?[y/n]"

HELP_AFTER_FIRST_LINE = (
    b"This program sends emails based upon the ini files and information"
    b" submitted\n through standard HTTP post format (this is a cgi"
    b" executable).\n\n"
    b"Ini variable names are:\n"
    b"\"smtp\"   - use once to specify smtp server.\n"
    b"\"logging\"  - use once to specify logging (debug/errors)\n"
    b"\"email_CR\" - set to either \"LFCR\" or \"CR\", send correct or raw"
    b" linefeeds\n"
    b"\"hello_method\" - use HELO (normal) or EHLO (modern) SMTP hello"
    b" command.\n"
    b"\"sendall\"  - use once to send all variables in the body"
    b" (true/false).\n"
    b"\"success_html_page\" - file to output if successful send of email.\n"
    b"\"failure_html_page\" - file to output if failure to send email.\n"
    b"\"headerline\" - static header entry e.g. \"headerline Subject:"
    b" email\"\n"
    b"\"use_submitted_variable_for_headerline\" - dynamic header entry e.g.\n"
    b"   If submitted variable \"Subject:\" is set to \"email\", then\n"
    b"   \"use_submitted_variable_for_headerline Subject:\" outputs"
    b" \"Subject: email\" \n"
    b"\"bodycontent_line\" - static body line e.g. \"bodycontent_line Users"
    b" details:\"\n"
    b"\"use_submitted_variable_for_bodycontent\" - dynamic body line entry"
    b" e.g.\n"
    b"   If submitted variable \"Name:\" is set to \"Joe Bloggs\", then\n"
    b"   \"use_submitted_variable_for_bodycontent Name:\" outputs \"Name: Joe"
    b" Bloggs\" \n"
    b"Variables are outputed in the order that they are in, in the ini"
    b" file.\n\n"
    b"Headers that must be defined are: 'To:', 'From:' and 'Subject:'.\n"
    b"The email address in the 'From:' header will be the bounce email"
    b" address.\n"
    b"The email address in the 'To:' header will be the recipient.\n\n")

DEMO_INI = (
    b"smtp 127.0.0.1\n"
    b"logging errors\n"
    b"email_CR LFCR\n"
    b"sendall false\n"
    b"hello_method HELO\n"
    b"success_html_page /html/success.html\n"
    b"failure_html_page /html/failure.html\n"
    b"\n"
    b"headerline To: \"Me\" <webmaster@example.com>\n"
    b"headerline From: \"Me\" <webmaster@example.com>\n"
    b"headerline Subject: Form Submission Data\n"
    b"use_submitted_variable_for_headerline Status:\n"
    b"bodycontent_line Here are the details that they submitted:\n"
    b"use_submitted_variable_for_bodycontent Name:\n"
    b"use_submitted_variable_for_bodycontent Email:\n"
    b"use_submitted_variable_for_bodycontent Subject:\n"
    b"use_submitted_variable_for_bodycontent Comments:\n")

START_LINES = 4  # starting version, argv[0], Log file, Ini file


def split_help(out):
    """The help's first line (which names the home page) and the rest."""
    assert out.startswith(b"\nTARVELO - ")
    end = out.index(b"\n", 1) + 1
    assert end > len(b"\nTARVELO - \n")
    return out[:end], out[end:]


def run_as(argv0, exe, args=(), stdin=b"", cwd=None):
    """Runs exe with argv[0] set to any text, as a shell or web server
    that names the program differently would."""
    return subprocess.run([argv0, *args], executable=exe, input=stdin,
                          capture_output=True, cwd=cwd, timeout=30,
                          env={"PATH": "/usr/bin:/bin"})


def test_help_beside_no_ini_writes_demo_file_on_yes(site):
    p = site.run(args=["-help"], stdin=b"Y\n")
    assert p.returncode == 0
    _, rest = split_help(p.stdout)
    assert rest == (HELP_AFTER_FIRST_LINE + QUESTION +
                    b"ini file is (" + site.ini.encode() + b").\n\n")
    with open(site.ini, "rb") as f:
        assert f.read() == DEMO_INI
    msgs = site.log_messages()
    assert msgs[0] == "starting version 1.0y"
    assert msgs[START_LINES:] == [
        "printing help info.", "detected no ini file.",
        "writing demo ini file.", "ending."]


@pytest.mark.parametrize("answer", [b"n\n", b"\n", b" y\n", b"", b"N\ny\n"])
def test_help_answers_that_write_nothing(site, answer):
    p = site.run(args=["-help"], stdin=answer)
    assert p.returncode == 0
    _, rest = split_help(p.stdout)
    assert rest == HELP_AFTER_FIRST_LINE + QUESTION
    assert not os.path.exists(site.ini)
    assert site.log_messages()[START_LINES:] == [
        "printing help info.", "detected no ini file.", "ending."]


def test_help_beside_existing_ini_asks_nothing(site):
    site.write_ini("logging debug\n")
    p = site.run(args=["-help"], stdin=b"y\n")
    assert p.returncode == 0
    _, rest = split_help(p.stdout)
    assert rest == HELP_AFTER_FIRST_LINE
    with open(site.ini) as f:
        assert f.read() == "logging debug\n"
    assert site.log_messages()[-2:] == ["printing help info.", "ending."]


@pytest.mark.parametrize("kind", ["fifo", "link to a fifo", "folder"])
def test_help_beside_an_ini_that_is_no_file_asks_nothing(site, kind):
    # Opening a pipe for reading waits for a writer: -help hung there.
    if kind == "folder":
        os.mkdir(site.ini)
    elif kind == "fifo":
        os.mkfifo(site.ini)
    else:
        os.mkfifo(site.ini + ".fifo")
        os.symlink(site.ini + ".fifo", site.ini)
    p = site.run(args=["-help"], stdin=b"y\n", timeout=10)
    assert p.returncode == 0
    _, rest = split_help(p.stdout)
    assert rest == HELP_AFTER_FIRST_LINE
    assert site.log_messages()[-2:] == ["printing help info.", "ending."]


def test_help_never_writes_an_ini_it_cannot_check(tmp_path):
    # argv[0] runs through a regular file, so the ini path fails with
    # ENOTDIR rather than ENOENT: no question, nothing written.
    site = CgiSite(tmp_path)
    plain = os.path.join(site.folder, "plain")
    with open(plain, "w") as f:
        f.write("x")
    p = run_as(os.path.join(plain, "mailer.cgi"), site.exe, ["-help"],
               stdin=b"y\n", cwd=site.folder)
    assert p.returncode == 0
    _, rest = split_help(p.stdout)
    assert rest == HELP_AFTER_FIRST_LINE
    assert sorted(os.listdir(site.folder)) == ["mailer.cgi", "plain"]


@pytest.mark.parametrize("args", [
    ["-version", "extra"], ["-FAQ", "extra"], ["-blanklog", "extra"],
    ["-Version"], ["-faq"], ["anything"]])
def test_unrecognised_arguments_print_the_help(site, args):
    site.write_ini("logging debug\n")
    p = site.run(args=args)
    assert p.returncode == 0
    _, rest = split_help(p.stdout)
    assert rest == HELP_AFTER_FIRST_LINE
    msgs = site.log_messages()
    assert msgs[:4] == ["starting version 1.0y", "argv[0] == " + site.exe,
                        "Log file == " + site.log, "Ini file == " + site.ini]


def test_faq_page_links_37_questions_to_their_anchors(site):
    p = site.run(args=["-FAQ"])
    assert p.returncode == 0
    page = p.stdout.decode()
    assert page.startswith(
        "<HTML>\n<HEAD></HEAD>\n<BODY>\n<H2>TARVELO FAQ</H2><BR><UL>"
        "<li><A HREF=\"#Q1\">Q 1 </A>\n")
    assert page.endswith("</BODY>\n</HTML>\n")
    contents, body = page.split("</UL><BR>", 1)
    links = re.findall(r'<li><A HREF="#Q(\d+)">Q (\d+) </A>\n', contents)
    assert [int(a) for a, _ in links] == list(range(1, 38))
    assert all(a == b for a, b in links)
    anchors = re.findall(r'<a name="Q(\d+)">Q \d+ </a>\n', body)
    assert [int(a) for a in anchors] == list(range(1, 38))
    # Answers are escaped, so no marker or stray markup of them survives.
    for marker in ("[q]", "[a]", "[pre]", "[/pre]"):
        assert marker not in page
    # Nothing is logged.
    assert not os.path.exists(site.log)


def test_blanklog_over_a_long_log_leaves_the_banner(site):
    with open(site.log, "w") as f:
        for i in range(20000):
            f.write(f"18th March 2002,  9:10:55 am - pid(7) - line {i}\n")
    p = site.run(args=["-blanklog"])
    assert p.returncode == 0
    assert p.stdout == b""
    with open(site.log, "rb") as f:
        assert f.read() == b"This is the log file for tarvelo\n"


def test_blanklog_makes_a_missing_log_private_as_a_run_does(site):
    # The log it starts will hold what visitors type.
    old = os.umask(0o022)
    try:
        p = site.run(args=["-blanklog"])
    finally:
        os.umask(old)
    assert p.returncode == 0
    assert os.stat(site.log).st_mode & 0o777 == 0o640


def test_blanklog_that_cannot_open_the_log_exits_3(site):
    os.mkdir(site.log)  # a folder where the log file should be
    p = site.run(args=["-blanklog"])
    assert p.returncode == 3
    assert p.stdout == (b"cant open " + site.log.encode() +
                        b" for output 21 Is a directory\n")


@pytest.fixture
def gateway(tmp_path):
    site = CgiSite(tmp_path, name="gateway.exe")
    with open(os.path.join(site.folder, "gateway.zip"), "w") as f:
        f.write("release")
    return site


# The unit tests hold the whole table of names; these go through the
# dispatch and the real rename.
@pytest.mark.parametrize("options,new_name", [
    ([], "gateway10y.zip"),
    (["-os", "win32", "-chip", "x86"], "gateway10y_x86-win32.zip"),
    (["-os", "-chip", "x86"], "gateway10y.zip"),
])
def test_renamer_puts_version_chip_and_os_in_the_name(gateway, options,
                                                      new_name):
    p = gateway.run(args=["-version_insert_filename", "gateway.zip",
                          *options])
    assert p.returncode == 0
    assert p.stdout == f"renamed  gateway.zip  ->  {new_name}\n".encode()
    assert sorted(os.listdir(gateway.folder)) == ["gateway.exe", new_name]
    with open(os.path.join(gateway.folder, new_name)) as f:
        assert f.read() == "release"
    # The tools never log.
    assert not os.path.exists(gateway.log)


def test_renamer_refuses_a_name_in_other_case(gateway):
    os.rename(os.path.join(gateway.folder, "gateway.zip"),
              os.path.join(gateway.folder, "Gateway.zip"))
    p = gateway.run(args=["-version_insert_filename", "Gateway.zip"])
    assert p.returncode == 3
    assert p.stdout == (b"I dont want to rename that file "
                        b"(Gateway.zip)(10y)(gateway)(gateway10y.zip)\n")
    assert sorted(os.listdir(gateway.folder)) == ["Gateway.zip",
                                                  "gateway.exe"]


def test_renamer_without_a_file_argument_refuses(gateway):
    p = gateway.run(args=["-version_insert_filename"])
    assert p.returncode == 3
    assert p.stdout == (b"I dont want to rename that file "
                        b"((none))(10y)(gateway)(gateway10y)\n")


@pytest.mark.parametrize("argv0", ["tools.new\\gateway.exe", "gateway.cgi.exe"])
def test_renamer_base_name_from_argv0(gateway, argv0):
    p = run_as(argv0, gateway.exe,
               ["-version_insert_filename", "gateway.zip", "-os", "linux"],
               cwd=gateway.folder)
    assert p.returncode == 0
    assert p.stdout == b"renamed  gateway.zip  ->  gateway10y_linux.zip\n"


# --- files the hand-run switches must not write through a link -------------

@pytest.mark.parametrize("target_exists", [True, False],
                         ids=["link", "dangling link"])
def test_blanklog_never_writes_through_a_link(site, tmp_path, target_exists):
    target = tmp_path / "elsewhere"
    if target_exists:
        target.write_text("precious\n")
    os.symlink(target, site.log)
    p = site.run(args=["-blanklog"])
    assert p.returncode == 3
    assert p.stdout == (b"cant open " + site.log.encode() +
                        b" for output, it is a symbolic link; -blanklog does "
                        b"not write through a link\n")
    assert os.path.islink(site.log)
    if target_exists:
        assert target.read_text() == "precious\n"
    else:
        assert not target.exists()


def test_help_asks_nothing_where_a_dangling_link_stands(site, tmp_path):
    target = tmp_path / "planted.ini"
    os.symlink(target, site.ini)
    p = site.run(args=["-help"], stdin=b"y\n")
    assert p.returncode == 0
    _, rest = split_help(p.stdout)
    assert rest == HELP_AFTER_FIRST_LINE
    assert not target.exists()
    assert os.path.islink(site.ini)


# -os and -chip values that would put the new name into another folder.
@pytest.mark.parametrize("options,shown", [
    (["-os", "x/../../docroot/evil"], "gateway10y_x/../../docroot/evil.zip"),
    (["-os", "win32", "-chip", "..\\x"], "gateway10y_..\\x-win32.zip"),
    (["-os", "a\\b"], "gateway10y_a\\b.zip"),
    (["-os", "linux", "-chip", ".."], "gateway10y_..-linux.zip"),
])
def test_renamer_refuses_values_that_name_other_folders(gateway, options,
                                                        shown):
    p = gateway.run(args=["-version_insert_filename", "gateway.zip",
                          *options])
    assert p.returncode == 3
    assert p.stdout == (b"I dont want to rename that file (gateway.zip)(10y)"
                        b"(gateway)(" + shown.encode() + b")\n")
    assert sorted(os.listdir(gateway.folder)) == ["gateway.exe", "gateway.zip"]


# --- the sample site installs as the README says ---------------------------

def readme_install_copies():
    """The README's install steps "cp SOURCE... DEST" and "ln -s TARGET
    LINK" as a map from each source to the path it is copied or linked to,
    with the sample site taken from the source tree ($sample is site) and
    the installed executable as build/tarvelo."""
    with open(os.path.join(ROOT, "README.md")) as f:
        text = f.read()
    section = text.split("## Installing on a web server", 1)[1]
    section = section.split("\n### ", 1)[0]
    script = "".join(block for block in re.findall(r"```sh\n(.*?)```",
                                                   section, re.S))
    script = script.replace("\\\n", " ").replace("$sample/", "site/")
    copies = {}
    for line in script.splitlines():
        words = line.split()
        if words[:1] == ["ln"] and words[1:2] == ["-s"]:
            words = words[1:]
        elif words[:1] != ["cp"]:
            continue
        *sources, dest = words[1:]
        for source in sources:
            if source == "/usr/bin/tarvelo":
                source = "build/tarvelo"
            copies[source] = (dest + os.path.basename(source)
                              if dest.endswith("/") else dest)
    return copies


def test_sample_site_installed_by_the_readme_works(tmp_path, receiver):
    copies = readme_install_copies()
    exe = copies["build/tarvelo"]
    with open(os.path.join(ROOT, "site", "index.html")) as f:
        action = re.search(r'<form[^>]* action="([^"]+)"', f.read()).group(1)
    # Debian's Apache maps /cgi-bin/ to /usr/lib/cgi-bin/.
    assert "/usr/lib" + action == exe
    ini_name = os.path.basename(exe).replace(".cgi", ".ini")
    assert copies["site/" + ini_name] == os.path.join(os.path.dirname(exe),
                                                      ini_name)
    with open(os.path.join(ROOT, "site", ini_name)) as f:
        ini = f.read()
    pages = dict(re.findall(r"(?m)^(success|failure)_html_page (.*)$", ini))
    assert pages["success"] == copies["site/success.html"]
    assert pages["failure"] == copies["site/failure.html"]

    # Laid out below tmp_path as the commands do, and posted to.
    for source, dest in copies.items():
        target = str(tmp_path) + dest
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copy(BIN if source == "build/tarvelo" else
                    os.path.join(ROOT, source), target)
    ini_path = str(tmp_path) + copies["site/" + ini_name]
    ini = re.sub(r"(?m)^smtp .*$", "smtp 127.0.0.1:%d" % receiver.port, ini)
    ini = re.sub(r"(?m)^(success|failure)_html_page ",
                 r"\g<0>" + str(tmp_path).replace("\\", "\\\\"), ini)
    with open(ini_path, "w") as f:
        f.write(ini)
    body = b"Name%3A=Joe&Email%3A=joe%40example.org&Subject%3A=Hi&Comments%3A=x"
    p = subprocess.run([str(tmp_path) + exe], input=body, capture_output=True,
                       timeout=30, cwd=str(tmp_path) + os.path.dirname(exe),
                       env={"PATH": "/usr/bin:/bin",
                            "CONTENT_LENGTH": str(len(body))})
    assert b"<h1>Thank you, Joe!</h1>" in p.stdout
    assert len(receiver.wait_for(1)) == 1
