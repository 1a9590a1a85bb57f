"""scripts/check-layout against the real link: it must fail on every kind of
drift between the profiled layout and the build, and let through what is
not ours to check. Run by ctest (layout.check_catches_drift) in the g++ + lld
build, with TARVELO_BIN and TARVELO_LAYOUT_MAP set."""
import os
import subprocess

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CHECK = os.path.join(ROOT, "scripts", "check-layout")
ORDER = os.path.join(ROOT, "cmake", "hot_symbols.txt")
SCRIPT = os.path.join(ROOT, "cmake", "layout.ld")
EXE = os.environ.get("TARVELO_BIN", os.path.join(ROOT, "build", "tarvelo"))
MAP = os.environ.get("TARVELO_LAYOUT_MAP", EXE + ".map")


def check(order=ORDER, script=SCRIPT, link_map=MAP):
    return subprocess.run(["/usr/bin/python3", CHECK, "--exe", EXE,
                           "--map", link_map, "--order", order,
                           "--script", script],
                          capture_output=True, text=True)


def defined_function_of_ours():
    """A function in namespace tarvelo, without a clone suffix, that the
    build defines and the order names."""
    out = subprocess.run(["nm", "--defined-only", EXE], capture_output=True,
                         text=True, check=True).stdout
    defined = {line.split()[2] for line in out.splitlines()
               if len(line.split()) == 3}
    with open(ORDER) as f:
        for name in (line.strip() for line in f):
            if name.startswith("_ZN7tarvelo") and "." not in name \
                    and name in defined:
                return name
    pytest.fail("the order names no defined function of namespace tarvelo")


def with_lines(tmp_path, extra):
    path = tmp_path / "order.txt"
    with open(ORDER) as f:
        path.write_text(f.read() + "".join(line + "\n" for line in extra))
    return str(path)


@pytest.mark.skipif(not os.path.exists(MAP), reason="no layout link map")
def test_order_drift(tmp_path):
    ours = defined_function_of_ours()
    gone = "_ZN7tarvelo12no_such_funcEv"
    cases = [
        # (added names, fails, names the culprit)
        ([], False, None),
        ([gone], True, gone),
        # Other libraries' names vary with their versions: not checked.
        (["__no_such_libc_helper", "_ZNSt9no_such_iC1Ev"], False, None),
        # A renamed clone whose function is still there is tolerated...
        ([ours + ".isra.9"], False, None),
        # ...but not the clone of a function that is gone,
        ([gone + ".constprop.0"], True, gone + ".constprop.0"),
        # ...nor more clones than the tolerance allows.
        ([ours + f".part.{n}" for n in range(4)], True, ours + ".part.3"),
        # A file's static initializer, named after a symbol of ours.
        (["_GLOBAL__sub_I__ZN7tarvelo9gone_nameE"], True,
         "_GLOBAL__sub_I__ZN7tarvelo9gone_nameE"),
        # The functions the build links in with --wrap are ours too.
        (["__wrap_no_such_setup"], True, "__wrap_no_such_setup"),
    ]
    for added, fails, culprit in cases:
        result = check(order=with_lines(tmp_path, added))
        assert result.returncode == (1 if fails else 0), (added, result.stdout)
        if fails:
            assert culprit in result.stdout, result.stdout
            assert "run scripts/layout-profile" in result.stdout


@pytest.mark.skipif(not os.path.exists(MAP), reason="no layout link map")
def test_script_drift(tmp_path):
    with open(SCRIPT) as f:
        script = f.read()
    cases = [
        # (text replaced, by, the pattern reported)
        ("*libtarvelo_core.a:*", "*libtarvelo_kernel.a:*",
         "*libtarvelo_kernel.a:*(.rodata .rodata.*)"),
        ("*libssl.a:*", "*libssl3.a:*", "*libssl3.a:*(.rodata .rodata.*)"),
        ("SORT_NONE(.init)", "SORT_NONE(.initcode)", "*(.initcode)"),
        ("*(.got)", "*(.got.plt)", "*(.got.plt)"),
    ]
    for old, new, reported in cases:
        assert old in script, old
        path = tmp_path / "layout.ld"
        path.write_text(script.replace(old, new, 1))
        result = check(script=str(path))
        assert result.returncode == 1, (new, result.stdout)
        assert "places nothing in" in result.stdout
        assert reported in result.stdout, result.stdout
        # Only the renamed pattern is reported.
        assert result.stdout.count("places nothing") == 1, result.stdout


@pytest.mark.skipif(not os.path.exists(MAP), reason="no layout link map")
def test_names_of_our_objects_outside_the_rule(tmp_path):
    # A plain C function of ours in the order: the map says which object
    # defines it, and the check must not let its rule miss it in silence.
    link_map = tmp_path / "link.map"
    link_map.write_text(
        "             VMA              LMA     Size Align Out     In      Symbol\n"
        "          201000           201000       10    16 .text\n"
        "          201000           201000       10    16         "
        "libtarvelo_core.a(form.cc.o):(.text.plain_c_helper)\n"
        "          201000           201000       10     1                 "
        "plain_c_helper\n")
    result = check(order=with_lines(tmp_path, ["plain_c_helper"]),
                   link_map=str(link_map))
    assert result.returncode == 1
    assert "not counted as ours" in result.stdout
    assert "plain_c_helper" in result.stdout
