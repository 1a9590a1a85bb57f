#!/usr/bin/env python3
"""scripts/check-includes on a fixture tree: a bad arrow and an environment
read outside src/run/ fail the check and are named by file and line, while
the good arrow, a commented-out include and a string are not; the same tree
without the two breaches passes."""
import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
CHECKER = os.path.join(HERE, "..", "scripts", "check-includes")
FIXTURE = os.path.join(HERE, "fixtures", "include_arrows")
LETTER = "src/compose/letter.cc"


def check(root, want_code, want_lines):
    run = subprocess.run([sys.executable, CHECKER, "--root", root],
                         capture_output=True, text=True)
    got = run.stdout.splitlines()
    if run.returncode != want_code or got != want_lines:
        sys.exit("check-includes --root %s: exit %d, printed\n%s\n"
                 "wanted exit %d and\n%s"
                 % (root, run.returncode, run.stdout + run.stderr,
                    want_code, "\n".join(want_lines)))


check(FIXTURE, 1, [
    LETTER + ":3: compose may not include smtp/wire.h",
    LETTER + ":6: compose may not call env_or_null( (only src/run/ reads "
    "the environment)",
])

with tempfile.TemporaryDirectory() as tree:
    shutil.copytree(os.path.join(FIXTURE, "src"), os.path.join(tree, "src"))
    with open(os.path.join(FIXTURE, LETTER)) as f:
        kept = [line for line in f
                if "smtp/wire.h" not in line and "REMOTE_ADDR" not in line]
    with open(os.path.join(tree, LETTER), "w") as f:
        f.writelines(kept)
    check(tree, 0, ["check-includes: 1 includes in 1 files follow the "
                    "arrows; process-wide state and environment only in "
                    "src/run/"])
print("check-includes self-test: passed")
