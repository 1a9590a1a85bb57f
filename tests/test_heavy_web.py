"""The whole gateway behind real web servers: the sample site served by
lighttpd, busybox httpd, Apache (mod_cgid) and nginx (through fcgiwrap),
forms posted with curl and with Chromium, the reply page and the mail that a
real SMTP server received checked byte for byte; and the demo command,
started and stopped as a new user would. Apache and nginx run the README's
own configuration blocks.
"""
import json
import os
import pwd
import re
import shutil
import signal
import subprocess
import tempfile
import time
import urllib.parse
import urllib.request
from email import policy
from email.parser import BytesParser

import pytest

from conftest import (BIN, ROOT, decode_mail, free_port, start_lighttpd,
                      wait_for_port)

SITE = os.path.join(ROOT, "site")
FOOTER_LINK = '<A HREF="https://tarvelo.org/">Form mail by TARVELO</A>'
CRLF = "\r\n"

# Skipped on a developer's machine without the servers; in CI a missing
# server is a missing install step, so the tests fail there.
pytestmark = pytest.mark.skipif(
    (shutil.which("lighttpd") is None or shutil.which("busybox") is None)
    and not os.environ.get("CI"),
    reason="needs lighttpd and busybox (scripts/install-deps)")


def lay_out_site(folder, smtp_port):
    """The sample site as a site owner lays it out: the form in the document
    root, the gateway in cgi-bin with its ini beside it, the pages (which
    hold tokens) outside the document root. Returns the document root."""
    docroot = os.path.join(folder, "site")
    cgi_bin = os.path.join(docroot, "cgi-bin")
    pages = os.path.join(folder, "pages")
    os.makedirs(cgi_bin)
    os.makedirs(pages)
    shutil.copy(os.path.join(SITE, "index.html"), docroot)
    for page in ("success.html", "failure.html"):
        shutil.copy(os.path.join(SITE, page), pages)
    shutil.copy(BIN, os.path.join(cgi_bin, "mailer.cgi"))
    with open(os.path.join(SITE, "mailer.ini")) as f:
        ini = f.read()
    ini = re.sub(r"(?m)^smtp .*$", "smtp 127.0.0.1:%d" % smtp_port, ini)
    for kind in ("success", "failure"):
        ini = re.sub(r"(?m)^%s_html_page .*$" % kind, "%s_html_page %s" % (
            kind, os.path.join(pages, kind + ".html")), ini)
    with open(os.path.join(cgi_bin, "mailer.ini"), "w") as f:
        f.write(ini)
    return docroot


def start_busybox(folder, docroot, port):
    # busybox httpd runs /cgi-bin/* below its home folder, with the script's
    # folder as working directory and its bare file name as argv[0].
    return subprocess.Popen(["busybox", "httpd", "-f", "-p",
                             "127.0.0.1:%d" % port, "-h", docroot])


WEB_USER = "www-data"


def readme_block(language, marker):
    """The one fenced block of the README in this language that holds the
    marker: the configuration site owners copy is the one tested."""
    with open(os.path.join(ROOT, "README.md")) as f:
        text = f.read()
    blocks = [body for kind, body in
              re.findall(r"(?ms)^```(\w*)\n(.*?)^```", text)
              if kind == language and marker in body]
    assert len(blocks) == 1, (language, marker, len(blocks))
    return blocks[0]


def swap(text, old, new):
    assert old in text, "the README's block no longer says " + old
    return text.replace(old, new)


def let_web_user_in(folder, docroot):
    """Apache's children and fcgiwrap run the gateway as www-data, as on a
    site: it must reach the test folder (pytest makes its folders private)
    and write the log, which the README's steps make for it. Returns a
    folder of that user's for the servers' sockets."""
    user = pwd.getpwnam(WEB_USER)
    path = folder
    while not os.stat(path).st_mode & 0o001:
        os.chmod(path, os.stat(path).st_mode | 0o001)
        path = os.path.dirname(path)
    log = os.path.join(docroot, "cgi-bin", "mailer.log")
    open(log, "a").close()
    os.chown(log, user.pw_uid, user.pw_gid)
    os.chmod(log, 0o600)
    # A unix socket's path holds at most 107 bytes (Apache adds ".PID").
    sockets = os.path.join(folder, "run")
    if len(sockets) > 80:
        sockets = tempfile.mkdtemp(prefix="tarvelo-run-")
    else:
        os.mkdir(sockets)
    os.chown(sockets, user.pw_uid, user.pw_gid)
    os.chmod(sockets, 0o700)
    return sockets


class Processes:
    """The processes of one web server, stopped together; a socket folder
    outside the test folder is removed with them."""

    def __init__(self, processes, sockets, folder):
        self.processes = processes
        self.scratch = None if sockets.startswith(folder) else sockets

    def terminate(self):
        for process in reversed(self.processes):
            process.terminate()

    def wait(self, timeout):
        for process in self.processes:
            process.wait(timeout=timeout)
        if self.scratch:
            shutil.rmtree(self.scratch, ignore_errors=True)


APACHE_MODULES = ("mpm_event", "authz_core", "alias", "cgid", "dir", "mime")


def start_apache(folder, docroot, port):
    """Debian's apache2-bin without its service: the binary in the
    foreground as root, its children as www-data, with the README's block
    and the test's cgi-bin in place of /usr/lib/cgi-bin."""
    sockets = let_web_user_in(folder, docroot)
    site = swap(readme_block("apache", "/usr/lib/cgi-bin"), "/usr/lib/cgi-bin",
                os.path.join(docroot, "cgi-bin"))
    modules = "".join("LoadModule %s_module /usr/lib/apache2/modules/"
                      "mod_%s.so\n" % (m, m) for m in APACHE_MODULES)
    conf = os.path.join(folder, "apache2.conf")
    with open(conf, "w") as f:
        f.write(f"""ServerRoot "{folder}"
ServerName 127.0.0.1
Listen 127.0.0.1:{port}
User {WEB_USER}
Group {WEB_USER}
PidFile "{folder}/apache2.pid"
DefaultRuntimeDir "{folder}"
ErrorLog "{folder}/apache2-error.log"
{modules}ScriptSock "{sockets}/cgid.sock"
TypesConfig /etc/mime.types
DocumentRoot "{docroot}"
DirectoryIndex index.html
<Directory "{docroot}">
    Require all granted
</Directory>
{site}""")
    apache = subprocess.Popen(["/usr/sbin/apache2", "-f", conf,
                               "-DFOREGROUND"])
    return Processes([apache], sockets, folder)


def start_nginx(folder, docroot, port):
    """nginx runs no CGI itself: fcgiwrap, started here as Debian's
    fcgiwrap.service starts it (as www-data, the program's errors into
    nginx's log), runs the gateway for it. The server block holds the
    README's block with the test's folders in place of /usr/lib and of
    /run/fcgiwrap.socket."""
    sockets = let_web_user_in(folder, docroot)
    socket_path = os.path.join(sockets, "fcgiwrap.socket")
    fcgiwrap = subprocess.Popen(
        ["/usr/sbin/fcgiwrap", "-f", "-s", "unix:" + socket_path],
        user=WEB_USER, group=WEB_USER, extra_groups=[])
    site = readme_block("nginx", "fastcgi_pass")
    site = swap(site, "root /usr/lib;", "root %s;" % docroot)
    site = swap(site, "unix:/run/fcgiwrap.socket", "unix:" + socket_path)
    # "include fastcgi_params" is read beside the configuration file.
    shutil.copy("/etc/nginx/fastcgi_params", folder)
    temp = "".join("    %s_temp_path %s/nginx-%s;\n" % (kind, folder, kind)
                   for kind in ("client_body", "fastcgi", "proxy", "uwsgi",
                                "scgi"))
    conf = os.path.join(folder, "nginx.conf")
    with open(conf, "w") as f:
        f.write(f"""daemon off;
user {WEB_USER};
worker_processes 1;
pid {folder}/nginx.pid;
error_log {folder}/nginx-error.log;
events {{
    worker_connections 64;
}}
http {{
    access_log off;
{temp}    include /etc/nginx/mime.types;
    server {{
        listen 127.0.0.1:{port};
        root {docroot};
        index index.html;
{site}    }}
}}
""")
    deadline = time.monotonic() + 10
    while not os.path.exists(socket_path) and time.monotonic() < deadline:
        time.sleep(0.02)
    nginx = subprocess.Popen(["/usr/sbin/nginx", "-p", folder, "-e",
                              os.path.join(folder, "nginx-error.log"), "-c",
                              conf])
    return Processes([fcgiwrap, nginx], sockets, folder)


SERVERS = {"lighttpd": start_lighttpd, "busybox": start_busybox,
           "apache": start_apache, "nginx": start_nginx}
NEEDS = {"lighttpd": [], "busybox": [],
         "apache": ["/usr/sbin/apache2"],
         "nginx": ["/usr/sbin/nginx", "/usr/sbin/fcgiwrap"]}


class Web:
    def __init__(self, kind, docroot, port):
        self.kind = kind
        self.docroot = docroot
        self.base = "http://127.0.0.1:%d" % port
        self.cgi_bin = os.path.join(docroot, "cgi-bin")

    def post(self, fields, path="/cgi-bin/mailer.cgi"):
        """Posts the fields with curl as the form does (URL-encoded) and
        returns (status, headers in lower case, page text)."""
        args = ["curl", "-sS", "--max-time", "20", "-D", "-",
                self.base + path]
        for name, value in fields:
            args += ["--data-urlencode", "%s=%s" % (name, value)]
        out = subprocess.run(args, capture_output=True, check=True,
                             timeout=30).stdout.decode()
        # busybox passes the gateway's bare line feeds on unchanged.
        head, body = re.split(r"\r?\n\r?\n", out, maxsplit=1)
        lines = re.split(r"\r?\n", head)
        status = int(lines[0].split()[1])
        headers = {}
        for line in lines[1:]:
            name, _, value = line.partition(":")
            headers[name.strip().lower()] = value.strip()
        return status, headers, body

    def log_messages(self):
        path = os.path.join(self.cgi_bin, "mailer.log")
        with open(path, "rb") as f:
            text = f.read().decode("utf-8", "replace")
        return [line.split(" - ", 2)[2] for line in text.splitlines()
                if line.count(" - ") >= 2]


@pytest.fixture(params=sorted(SERVERS))
def web(request, tmp_path, receiver):
    missing = [p for p in NEEDS[request.param] if not os.path.exists(p)]
    if missing and not os.environ.get("CI"):
        pytest.skip("needs %s (scripts/install-deps)" % ", ".join(missing))
    docroot = lay_out_site(str(tmp_path), receiver.port)
    port = free_port()
    server = SERVERS[request.param](str(tmp_path), docroot, port)
    try:
        wait_for_port(port)
        yield Web(request.param, docroot, port)
    finally:
        server.terminate()
        server.wait(timeout=10)


def check_mail(data, name, email, subject, comment_lines):
    """The sample site sends standards-complete mail (add_standard_headers):
    decode it as a mail client would and compare the texts."""
    msg, body = decode_mail(data)
    for field in ("To", "From"):
        [address] = msg[field].addresses
        assert (address.display_name, address.addr_spec) == (
            "Me", "me@example.com")
    assert msg["Subject"].strip() == "Form Submission Data"
    assert msg["X-TARVELO"] == ("sent by web form submition activated CGI "
                                "program.")
    assert msg.get_content_charset() == "utf-8"
    assert msg["Date"] and msg["Message-ID"]
    lines = [
        " Here are the details that they submitted: ",
        " Name: " + name,
        " Email: " + email,
        " Subject: " + subject,
        " Comments: " + comment_lines[0],
    ]
    # Later lines of a value stand under the first, after the name.
    lines += [" " * len(" Comments: ") + line for line in comment_lines[1:]]
    assert body == "\n".join(lines) + "\n\n"


def test_form_gives_thanks_page_and_mail(web, receiver):
    status, headers, page = web.post([
        ("Name:", "J\u00fcrgen"), ("Email:", "j@example.org"),
        ("Subject:", "Hello"), ("Comments:", "line one\r\nline two")])

    assert status == 200
    assert headers["content-type"].startswith("text/html")
    assert headers["pragma"] == "no-cache"
    assert "<h1>Thank you, J\u00fcrgen!</h1>" in page
    assert "We will answer to j@example.org soon." in page
    assert page.endswith("</body>\n<br><center><font size=-2>" + FOOTER_LINK
                         + "<font size=+2></center></html>\n")

    [mail] = receiver.wait_for(1)
    assert mail["from"] == "me@example.com"
    assert mail["rcpt"] == ["me@example.com"]
    check_mail(mail["data"], "J\u00fcrgen", "j@example.org", "Hello",
               ["line one", "line two"])


def test_ini_and_log_are_found_beside_the_executable(web, receiver):
    web.post([("Name:", "Ann")])
    receiver.wait_for(1)
    messages = web.log_messages()
    # lighttpd, Apache and fcgiwrap run the gateway by its full path;
    # busybox by its bare name from inside cgi-bin. All find the ini (the
    # mail went out) and log beside the executable.
    full = os.path.join(web.cgi_bin, "mailer.cgi")
    argv0 = {"lighttpd": full, "apache": full, "nginx": full,
             "busybox": "mailer.cgi"}[web.kind]
    assert "argv[0] == " + argv0 in messages
    assert messages[-1] == "ended."
    assert len(receiver.messages) == 1


def test_markup_is_escaped_in_the_page_and_kept_in_the_mail(web, receiver):
    attack = "<script>alert(\"x&y\")</script>'"
    _, _, page = web.post([("Name:", attack), ("Subject:", "<b>hi</b>")])

    assert "<script>" not in page
    assert ("<h1>Thank you, &lt;script&gt;alert(&quot;x&amp;y&quot;)"
            "&lt;/script&gt;&#39;!</h1>") in page
    assert "&ldquo;&lt;b&gt;hi&lt;/b&gt;&rdquo;" in page

    [mail] = receiver.wait_for(1)
    _, body = decode_mail(mail["data"])
    assert " Name: " + attack + "\n" in body
    assert " Subject: <b>hi</b>\n" in body


def test_no_mail_server_gives_the_failure_page(web, receiver, tmp_path):
    ini = os.path.join(web.cgi_bin, "mailer.ini")
    with open(ini) as f:
        text = f.read()
    with open(ini, "w") as f:
        f.write(re.sub(r"(?m)^smtp .*$", "smtp 127.0.0.1:%d" % free_port(),
                       text))
    status, _, page = web.post([("Name:", "Ann & Bob")])
    assert status == 200
    assert "<h1>Sorry, Ann &amp; Bob, your message was not sent.</h1>" in page
    assert FOOTER_LINK in page
    assert receiver.messages == []


def test_form_page_posts_the_four_fields_to_the_gateway(web):
    with urllib.request.urlopen(web.base + "/", timeout=10) as response:
        form = response.read().decode()
    assert 'action="/cgi-bin/mailer.cgi"' in form
    names = re.findall(r'name="([^"]+)"', form)
    assert names == ["Name:", "Email:", "Subject:", "Comments:"]
    assert '<textarea id="comments" name="Comments:"' in form


# What a visitor gets for the gateway's own files, in cgi-bin and where a
# site owner with the gateway among served files keeps them: the deny rules
# of the README (a 403), or busybox running every file in cgi-bin and
# finding these not runnable. busybox has no deny rule, so the README keeps
# them in its cgi-bin only.
NOT_SERVED = {
    "lighttpd": {"cgi-bin": 403, "": 403},
    "apache": {"cgi-bin": 403, "": 403},
    "nginx": {"cgi-bin": 403, "": 403},
    "busybox": {"cgi-bin": 404},
}


def test_gateway_files_are_never_served(web):
    """The ini holds the mail server's password, the log what visitors
    typed, the rate-limit state their addresses."""
    for folder, status in NOT_SERVED[web.kind].items():
        for name in ("mailer.ini", "mailer.log", "mailer.rate"):
            secret = b"secret of " + name.encode()
            with open(os.path.join(web.docroot, folder, name), "ab") as f:
                f.write(b"\n" + secret + b"\n")
            url = "/".join(filter(None, (web.base, folder, name)))
            run = subprocess.run(
                ["curl", "-sS", "--max-time", "20", "-o", "-", "-w",
                 "\n%{http_code}", url],
                capture_output=True, check=True, timeout=30)
            body, _, got = run.stdout.rpartition(b"\n")
            assert (int(got), secret in body) == (status, False), (
                web.kind, url)


def test_gateway_linked_under_the_forms_name(web, receiver):
    """A symbolic link in cgi-bin to the one installed executable: the ini
    and log take the link's name, not the executable's."""
    exe = os.path.join(web.cgi_bin, "mailer.cgi")
    os.remove(exe)
    os.symlink(BIN, exe)
    _, _, page = web.post([("Name:", "Linda"), ("Email:", "l@example.org")])
    assert "<h1>Thank you, Linda!</h1>" in page, (web.kind, page)
    [mail] = receiver.wait_for(1)
    assert b" Name: Linda\r\n" in mail["data"]
    assert web.log_messages()[-1] == "ended."


def test_form_with_a_large_file(web, receiver, tmp_path):
    """A 3 MB file, over nginx's default limit of 1 MB, reaches the mail
    whole through every server (nginx: the README's client_max_body_size)."""
    upload = tmp_path / "notes.txt"
    text = b"".join(b"line %07d of the notes\r\n" % i
                    for i in range(3 * 1024 * 1024 // 24))
    upload.write_bytes(text)
    run = subprocess.run(
        ["curl", "-sS", "--max-time", "60", "-o", "-", "-w", "\n%{http_code}",
         "-F", "Name:=Fiona", "-F", "Email:=f@example.org",
         "-F", "Attachment:=@%s;type=text/plain" % upload,
         web.base + "/cgi-bin/mailer.cgi"],
        capture_output=True, check=True, timeout=90)
    page, _, status = run.stdout.rpartition(b"\n")
    assert status == b"200", (web.kind, status, page[:300])
    assert b"<h1>Thank you, Fiona!</h1>" in page
    [mail] = receiver.wait_for(1, timeout=30)
    msg = BytesParser(policy=policy.default).parsebytes(mail["data"])
    [part] = list(msg.iter_attachments())
    assert part.get_filename() == "notes.txt"
    assert part.get_payload(decode=True) == text


@pytest.mark.parametrize("web", ["apache", "nginx"], indirect=True)
def test_visitor_posts_the_form_from_chromium(web, receiver, tmp_path):
    """A visitor in Debian's Chromium fills the sample form served by Apache
    and by nginx, submits it and gets the thanks page; the receiver holds
    the mail. (lighttpd meets Chromium in test_heavy_browser.py.)"""
    from test_heavy_browser import CHROMIUM, ensure_playwright, run_node
    if not os.path.exists(CHROMIUM) and not os.environ.get("CI"):
        pytest.skip("needs chromium (scripts/install-deps)")
    ensure_playwright()
    name = "Zo\u00eb \u0141\u00f3d\u017a"
    # The form posts as it stands: its script's fetch() path is the same for
    # every server and is driven in test_heavy_browser.py.
    job = {"url": web.base + "/", "screenshot": str(tmp_path / "page.png"),
           "javascript": False,
           "fields": {"Name:": name, "Email:": "zoe@example.org",
                      "Subject:": "Via " + web.kind,
                      "Comments:": "first line\nsecond line"}}
    run = run_node("form_test.mjs", job)
    assert run.returncode == 0, run.stdout + run.stderr
    page = json.loads(run.stdout.strip().splitlines()[-1])
    assert page["status"] == 200
    assert page["url"] == web.base + "/cgi-bin/mailer.cgi"
    assert page["heading"] == "Thank you, " + name + "!"
    [mail] = receiver.wait_for(1)
    check_mail(mail["data"], name, "zoe@example.org", "Via " + web.kind,
               ["first line", "second line"])


class Demo:
    """scripts/demo running in the background, as a new user starts it."""

    def __init__(self, scratch_parent, keep=True):
        # Kept by default: tests read its mail and logs after it stopped;
        # pytest removes the folder.
        env = dict(os.environ, TMPDIR=str(scratch_parent))
        self.process = subprocess.Popen(
            [os.path.join(ROOT, "scripts", "demo"), "--skip-install",
             "--exe", BIN, *(["--keep"] if keep else [])],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=env,
            text=True, start_new_session=True,
            # As typed in a terminal: a test runner started in the background
            # may hand SIGINT down ignored, and then Ctrl-C could not stop it.
            preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
        self.output = []
        self.url = self.mail_folder = None
        deadline = time.monotonic() + 60
        while self.mail_folder is None or self.url is None:
            line = self.process.stdout.readline()
            if not line or time.monotonic() > deadline:
                self.stop()
                raise RuntimeError("the demo did not start:\n" +
                                   "".join(self.output))
            self.output.append(line)
            key, _, value = line.strip().partition(":")
            if key == "Form":
                self.url = value.strip()
            elif key == "Mail folder":
                self.mail_folder = value.split()[0]

    def wait_for_mail(self, count, timeout=10.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            files = sorted(f for f in os.listdir(self.mail_folder)
                           if f.endswith(".eml"))
            if len(files) >= count:
                return [os.path.join(self.mail_folder, f) for f in files]
            time.sleep(0.05)
        return []

    def stop(self):
        """Ctrl-C, as a user stops it: SIGINT to the whole foreground group.
        Returns the exit code and the rest of the output."""
        if self.process.poll() is None:
            os.killpg(self.process.pid, signal.SIGINT)
        try:
            rest, _ = self.process.communicate(timeout=15)
        except subprocess.TimeoutExpired:
            os.killpg(self.process.pid, signal.SIGKILL)
            rest, _ = self.process.communicate()
        self.output.append(rest)
        return self.process.returncode, rest


def test_demo_serves_the_form_and_stores_the_mail(tmp_path):
    demo = Demo(tmp_path, keep=False)
    try:
        with urllib.request.urlopen(demo.url, timeout=10) as response:
            assert response.headers["Content-Type"].startswith("text/html")
            assert b'action="/cgi-bin/mailer.cgi"' in response.read()
        # The gateway's ini is not for visitors.
        ini_url = urllib.parse.urljoin(demo.url, "/cgi-bin/mailer.ini")
        with pytest.raises(urllib.error.HTTPError) as denied:
            urllib.request.urlopen(ini_url, timeout=10)
        assert denied.value.code == 403

        body = urllib.parse.urlencode({
            "Name:": "Demo User", "Email:": "demo@example.org",
            "Subject:": "Trying it", "Comments:": "It works."}).encode()
        post = urllib.parse.urljoin(demo.url, "/cgi-bin/mailer.cgi")
        with urllib.request.urlopen(post, body, timeout=20) as response:
            assert "Thank you, Demo User!" in response.read().decode()
        [mail] = demo.wait_for_mail(1)
        with open(mail, "rb") as f:
            assert b" Name: Demo User\r\n" in f.read()
    finally:
        code, rest = demo.stop()
    output = "".join(demo.output)
    assert "mail saved: " + mail in output
    assert code == 0, output
    assert "stopped." in rest
    # Its scratch folder went with it.
    assert os.listdir(tmp_path) == []
    # Both servers are gone: nothing listens on the form's port any more.
    port = urllib.parse.urlparse(demo.url).port
    with pytest.raises(RuntimeError, match="nothing listens"):
        wait_for_port(port, timeout=0.5)


def test_demo_keeps_its_folder_when_asked(tmp_path):
    demo = Demo(tmp_path)
    body = urllib.parse.urlencode({"Name:": "Kim",
                                   "Email:": "kim@example.org"}).encode()
    post = urllib.parse.urljoin(demo.url, "/cgi-bin/mailer.cgi")
    with urllib.request.urlopen(post, body, timeout=20) as response:
        assert response.status == 200
    [mail] = demo.wait_for_mail(1)
    code, rest = demo.stop()
    assert code == 0, rest
    assert "stay in " + os.path.dirname(demo.mail_folder) in rest
    assert os.path.isfile(mail)
