"""The setup scripts as a fresh machine meets them, with apt-get and dpkg
replaced by fakes that only record what they were asked: scripts/install-deps
lets no system service start while it installs web servers.
"""
import os
import subprocess

import pytest

from conftest import ROOT

FAKE_DPKG = """#!/bin/sh
# dpkg -s NAME: installed unless named in $NOT_INSTALLED.
case " $NOT_INSTALLED " in *" $2 "*) exit 1 ;; esac
exit 0
"""

# Records each call, and what the policy says about starting a service at
# that moment (101: forbidden; none: no policy).
FAKE_APT_GET = """#!/bin/sh
if [ -x "$TARVELO_POLICY_RC_D" ]; then
  "$TARVELO_POLICY_RC_D" nginx start; verdict=$?
else
  verdict=none
fi
echo "$* | policy $verdict" >> "$APT_LOG"
"""


def write_script(path, text):
    path.write_text(text)
    path.chmod(0o755)


def run_install_deps(tmp_path, not_installed, policy_before):
    fakes = tmp_path / "bin"
    fakes.mkdir()
    write_script(fakes / "dpkg", FAKE_DPKG)
    write_script(fakes / "apt-get", FAKE_APT_GET)
    policy = tmp_path / "policy-rc.d"
    if policy_before is not None:
        write_script(policy, policy_before)
    log = tmp_path / "apt.log"
    log.write_text("")
    env = {"PATH": "%s:/usr/bin:/bin" % fakes, "NOT_INSTALLED": not_installed,
           "TARVELO_POLICY_RC_D": str(policy), "APT_LOG": str(log)}
    run = subprocess.run([os.path.join(ROOT, "scripts", "install-deps")],
                         env=env, capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    installs = [line for line in log.read_text().splitlines()
                if line.startswith("install") and "nodejs" not in line]
    after = policy.read_text() if policy.exists() else None
    return installs, after


CONTAINER_POLICY = "#!/bin/sh\n# the container's own\nexit 101\n"


@pytest.mark.parametrize("not_installed,policy_before,installs,after", [
    # nginx and fcgiwrap bring services: installed under a policy that
    # forbids starting them, removed afterwards.
    ("nginx-light fcgiwrap", None,
     ["install -y -qq nginx-light fcgiwrap | policy 101"], None),
    # A machine's own policy is used and left as it was.
    ("nginx-light", CONTAINER_POLICY,
     ["install -y -qq nginx-light | policy 101"], CONTAINER_POLICY),
    # Apache's binary package has no service.
    ("apache2-bin", None, ["install -y -qq apache2-bin | policy none"], None),
    # Nothing missing: nothing installed, no policy left behind.
    ("", None, [], None),
], ids=["services", "machine-policy", "apache2-bin", "nothing-missing"])
def test_install_deps_starts_no_service(tmp_path, not_installed,
                                        policy_before, installs, after):
    got = run_install_deps(tmp_path, not_installed, policy_before)
    assert got == (installs, after)


# --- scripts/demo -------------------------------------------------------------

FAKE_CMAKE = """#!/bin/sh
echo "cmake $*" >> "$APT_LOG"
exit 1
"""

# What the demo may install on a fresh machine: a web server, the mail
# catcher, and (when it builds) the compiler, CMake and the libraries the
# build links or includes. The tests' browser, Wine, cross compiler, mail
# server and GoogleTest are scripts/test's business.
DEMO_SERVE = "lighttpd python3-aiosmtpd"
DEMO_BUILD = "cmake make g++ libssl-dev rapidjson-dev"
TEST_ONLY = ("chromium", "nodejs", "npm", "wine", "wine64",
             "g++-mingw-w64-x86-64", "postfix", "libgtest-dev", "valgrind")


def run_demo(tmp_path, not_installed, args):
    """scripts/demo on a machine where the named packages are missing, with
    apt-get and cmake recording their calls and failing, so the demo stops
    there. Returns the calls and the demo's exit status."""
    fakes = tmp_path / "bin"
    fakes.mkdir()
    write_script(fakes / "dpkg", FAKE_DPKG)
    write_script(fakes / "apt-get",
                 FAKE_APT_GET + '[ "$1" != install ] || exit 1\n')
    write_script(fakes / "cmake", FAKE_CMAKE)
    log = tmp_path / "calls.log"
    log.write_text("")
    env = {"PATH": "%s:/usr/bin:/bin" % fakes, "NOT_INSTALLED": not_installed,
           "TARVELO_POLICY_RC_D": str(tmp_path / "policy-rc.d"),
           "APT_LOG": str(log), "TMPDIR": str(tmp_path), "HOME": str(tmp_path)}
    run = subprocess.run([os.path.join(ROOT, "scripts", "demo"), *args],
                         env=env, capture_output=True, text=True, timeout=60)
    # An install shows whether a service could have started meanwhile.
    calls = [line for line in log.read_text().splitlines()
             if line.startswith(("install", "cmake"))]
    return calls, run.returncode


@pytest.mark.parametrize("not_installed,args,calls", [
    # A fresh clone on a fresh machine: the demo's own list, no more.
    (DEMO_SERVE + " " + DEMO_BUILD + " " + " ".join(TEST_ONLY), [],
     ["install -y -q --no-install-recommends " + DEMO_SERVE + " " +
      DEMO_BUILD + " | policy 101"]),
    # With an executable given, nothing to build with.
    (DEMO_SERVE + " " + DEMO_BUILD, ["--exe", "/bin/true"],
     ["install -y -q --no-install-recommends " + DEMO_SERVE +
      " | policy 101"]),
    # All there: no install; the build leaves the tests out.
    ("", [], ["cmake -S %s -B %s/build-demo -DCMAKE_BUILD_TYPE=Release "
              "-DTARVELO_TESTS=OFF" % (ROOT, ROOT)]),
], ids=["fresh-machine", "given-executable", "all-installed"])
def test_demo_installs_only_what_it_needs(tmp_path, not_installed, args,
                                          calls):
    got, status = run_demo(tmp_path, not_installed, args)
    assert (got, status) == (calls, 1)
    for package in TEST_ONLY:
        assert not any(package in call.split() for call in got), package
