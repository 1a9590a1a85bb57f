"""What a site owner installs: the install tree, the Debian package with its
manual page, and the release files, all made from the build under test."""
import glob
import gzip
import os
import platform
import re
import shutil
import subprocess

import pytest

from conftest import BIN, ROOT

BUILD = os.environ.get("TARVELO_BUILD_DIR", os.path.dirname(BIN))
WIN_DIR = os.environ.get("TARVELO_WIN_BUILD_DIR",
                         os.path.join(ROOT, "build-win"))
DOC = "usr/share/doc/tarvelo"
CLEAN_ENV = {k: v for k, v in os.environ.items()
             if k not in ("GATEWAY_INTERFACE", "REQUEST_METHOD")}


def missing(what):
    if os.environ.get("CI"):
        pytest.fail(f"{what} (scripts/install-deps installs it)")
    pytest.skip(what)


def version():
    with open(os.path.join(ROOT, "src", "run", "run.h")) as f:
        return re.search(r'program_version = "([^"]+)"', f.read()).group(1)


def ini_keywords():
    """Every keyword of the ini reader's table, as a site owner writes it."""
    with open(os.path.join(ROOT, "src", "config", "ini_reader.cc")) as f:
        text = f.read()
    table = text[text.index("kIniKeywords[] = {"):]
    table = table[:table.index("};")]
    words = re.findall(r'_row\(\s*"(\w+)', table)
    if "kSmtpPasswordPrefix" in table:
        words.append("smtp_password")
    return words


def expected_files():
    site = []
    for folder, _, names in os.walk(os.path.join(ROOT, "site")):
        rel = os.path.relpath(folder, os.path.join(ROOT, "site"))
        site += [os.path.normpath(f"{DOC}/site/{rel}/{n}") for n in names]
    return sorted(site + [
        "usr/bin/tarvelo", "usr/share/man/man1/tarvelo.1.gz",
        "usr/share/lintian/overrides/tarvelo",
        *(f"{DOC}/{n}" for n in ("README.md", "FAQ.html", "LICENSE",
                                 "THIRD-PARTY-NOTICES", "copyright",
                                 "changelog.gz"))])


def files_under(root):
    return sorted(os.path.relpath(os.path.join(folder, n), root)
                  for folder, _, names in os.walk(root) for n in names)


def run(args, **kw):
    done = subprocess.run(args, capture_output=True, text=True, timeout=600,
                          env=kw.pop("env", CLEAN_ENV), **kw)
    assert done.returncode == 0, f"{args}: {done.stdout}{done.stderr}"
    return done


def source_bytes(*parts):
    with open(os.path.join(ROOT, *parts), "rb") as f:
        return f.read()


def test_install_puts_exactly_the_expected_files(tmp_path):
    run(["cmake", "--install", BUILD, "--prefix", "/usr"],
        env={**CLEAN_ENV, "DESTDIR": str(tmp_path)})
    assert files_under(tmp_path) == expected_files()
    faq = run([BIN, "-FAQ"]).stdout.encode()
    for path, content in [("usr/bin/tarvelo", open(BIN, "rb").read()),
                          (f"{DOC}/FAQ.html", faq),
                          (f"{DOC}/README.md", source_bytes("README.md")),
                          (f"{DOC}/site/mailer.ini",
                           source_bytes("site", "mailer.ini"))]:
        assert (tmp_path / path).read_bytes() == content, path
    assert os.access(tmp_path / "usr/bin/tarvelo", os.X_OK)


@pytest.fixture(scope="module")
def deb(tmp_path_factory):
    for tool in ("cpack", "dpkg-deb"):
        if shutil.which(tool) is None:
            missing(f"{tool} not found")
    out = tmp_path_factory.mktemp("cpack")
    run(["cpack", "-G", "DEB", "--config",
         os.path.join(BUILD, "CPackConfig.cmake"), "-B", str(out)])
    debs = glob.glob(str(out / "*.deb"))
    assert len(debs) == 1, debs
    tree = tmp_path_factory.mktemp("unpacked")
    run(["dpkg-deb", "-x", debs[0], str(tree)])
    return debs[0], tree


def test_deb_is_named_and_described_by_the_version(deb):
    path, _ = deb
    arch = run(["dpkg", "--print-architecture"]).stdout.strip()
    assert os.path.basename(path) == f"tarvelo_{version()}_{arch}.deb"
    fields = {}
    for name in ("Package", "Version", "Architecture", "Section",
                 "Maintainer", "Homepage", "Description", "Depends"):
        fields[name] = run(["dpkg-deb", "-f", path, name]).stdout.strip()
    assert fields["Package"] == "tarvelo"
    assert fields["Version"] == version()
    assert fields["Architecture"] == arch
    assert fields["Depends"] == ""  # static: nothing to depend on
    summary, _, extended = fields["Description"].partition("\n")
    assert summary and len(summary) < 80 and "TARVELO" in extended


def test_deb_holds_the_install_tree_with_a_stripped_executable(deb):
    _, tree = deb
    assert files_under(tree) == expected_files()
    exe = str(tree / "usr/bin/tarvelo")
    assert ".symtab" not in run(["readelf", "-S", exe]).stdout
    line = run([exe, "-version"]).stdout
    assert line.endswith(f"Version: {version()}\n"), line
    copyright_text = (tree / DOC / "copyright").read_text()
    assert copyright_text.startswith(
        "Format: https://www.debian.org/doc/packaging-manuals/"
        "copyright-format/1.0/\n")
    with gzip.open(tree / DOC / "changelog.gz", "rt") as f:
        assert f.readline().startswith(f"tarvelo ({version()}) ")
    assert (tree / DOC / "THIRD-PARTY-NOTICES").read_bytes() == \
        source_bytes("THIRD-PARTY-NOTICES")


def man_source(tree):
    with gzip.open(tree / "usr/share/man/man1/tarvelo.1.gz", "rt") as f:
        return f.read()


def test_man_page_renders_without_warnings(deb):
    _, tree = deb
    page = str(tree / "usr/share/man/man1/tarvelo.1.gz")
    env = {**CLEAN_ENV, "MANWIDTH": "80", "LC_ALL": "C.UTF-8"}
    shown = run(["man", "-l", page], env=env)
    assert shown.stderr == ""
    for heading in ("NAME", "SYNOPSIS", "OPTIONS", "INI FILE", "FILES",
                    "EXIT STATUS", "EXAMPLES"):
        assert re.search(rf"^{heading}$", shown.stdout, re.M), heading
    assert max(len(line) for line in shown.stdout.splitlines()) <= 80
    checked = run(["groff", "-ww", "-z", "-man"], input=man_source(tree))
    assert checked.stderr == ""
    assert "tarvelo - web form" in run(["lexgrog", page]).stdout


# A switch or keyword the program reads that the page does not name.
@pytest.mark.parametrize("kind", ["keyword", "switch"])
def test_man_page_names_every_keyword_and_switch(deb, kind):
    text = man_source(deb[1])
    if kind == "keyword":
        names = ini_keywords()
    else:
        with open(os.path.join(ROOT, "src", "run", "run.cc")) as f:
            names = set(re.findall(r'"(-[A-Za-z?][\w?]*)"', f.read()))
    assert len(names) >= (30 if kind == "keyword" else 6)
    if kind == "keyword":  # each one opens an entry of its own
        pattern = r'^\.(B|BI|BR)\s+"?{}'
    else:
        pattern = r'\\{}(?![\w?])'
    absent = [n for n in names
              if not re.search(pattern.format(re.escape(n)), text, re.M)]
    assert absent == []


def test_lintian_shows_no_error_but_the_overridden_static_link(deb, tmp_path):
    if shutil.which("lintian") is None:
        missing("lintian not found")
    path, _ = deb
    # lintian leaves its ELF cache files (mldbm-elf-*) in TMPDIR.
    shown = subprocess.run(["lintian", "--show-overrides", path],
                           capture_output=True, text=True, timeout=600,
                           env={**CLEAN_ENV, "TMPDIR": str(tmp_path)})
    lines = shown.stdout.splitlines()
    assert [line for line in lines if line.startswith("E:")] == []
    assert any(line.startswith("O: tarvelo: statically-linked-binary")
               for line in lines), shown.stdout + shown.stderr


@pytest.fixture(scope="module")
def windows_exe():
    if shutil.which("x86_64-w64-mingw32-g++") is None:
        missing("x86_64-w64-mingw32-g++ not found")
    # Incremental; ctest keeps the Wine tests, which build here too, apart.
    run([os.path.join(ROOT, "scripts", "build-windows"), WIN_DIR])
    return os.path.join(WIN_DIR, "tarvelo.exe")


def test_release_files_are_named_stripped_and_summed(tmp_path, windows_exe):
    folder = tmp_path / "release"
    run([os.path.join(ROOT, "scripts", "release"), "--linux", BIN,
         "--windows", windows_exe, str(folder)])
    v = version().replace(".", "")
    linux = f"tarvelo{v}_{platform.machine()}-linux"
    windows = f"tarvelo{v}_x86_64-windows.exe"
    assert sorted(os.listdir(folder)) == sorted(
        ["BUILD-INFO", "LICENSE", "SHA256SUMS", "THIRD-PARTY-NOTICES",
         linux, windows])
    summed = run(["sha256sum", "-c", "SHA256SUMS"], cwd=folder).stdout
    assert sorted(summed.split()) == sorted(
        [f"{n}:" for n in os.listdir(folder) if n != "SHA256SUMS"] + ["OK"] * 5)
    exe = str(folder / linux)
    assert ".symtab" not in run(["readelf", "-S", exe]).stdout
    assert "interpreter" not in run(["readelf", "-l", exe]).stdout
    assert run([exe, "-version"]).stdout.endswith(f"Version: {version()}\n")
    nm = subprocess.run(["x86_64-w64-mingw32-nm", str(folder / windows)],
                        capture_output=True, text=True)
    assert "no symbols" in nm.stderr
    assert (folder / "LICENSE").read_bytes() == source_bytes("LICENSE")


# Each refusal comes before anything is written into the folder.
@pytest.mark.parametrize("linux,windows,prefill,message", [
    ("/bin/true", "exe", False, "linked dynamically"),
    ("bin", "/bin/true", False, "not a Windows executable"),
    ("bin", "exe", True, "is not empty"),
    ("/nonexistent", "exe", False, "is not a file"),
])
def test_release_refuses(tmp_path, linux, windows, prefill, message):
    fake_exe = tmp_path / "fake.exe"
    fake_exe.write_bytes(b"MZ" + b"\0" * 62)
    folder = tmp_path / "release"
    folder.mkdir()
    if prefill:
        (folder / "old").write_text("")
    args = [os.path.join(ROOT, "scripts", "release"),
            "--linux", BIN if linux == "bin" else linux,
            "--windows", str(fake_exe) if windows == "exe" else windows,
            str(folder)]
    done = subprocess.run(args, capture_output=True, text=True, timeout=60)
    assert done.returncode != 0
    assert message in done.stderr
    assert os.listdir(folder) == (["old"] if prefill else [])
