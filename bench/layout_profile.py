#!/usr/bin/env python3
"""Writes cmake/hot_symbols.txt: what a typical run of the gateway touches.

The benchmark's form is posted to the gateway (the sample ini, pointed at the
benchmark's SMTP sink), once with `logging errors` and once with `logging
debug`:
  - natively, one instruction at a time (spawn_timer steps): the code;
  - under valgrind's lackey tool: every load and store, the data.
Each address inside the executable is mapped to the symbol that holds it.
The result lists the touched functions first and the touched objects after,
each in the order of first touch; lld then places them together (see
cmake/static_layout.cmake).

valgrind differs from the real machine: it shows the program another
processor (the C library picks other string functions) and no vDSO (the
library's lookup of the vDSO's functions never runs). So the code comes from
the native run, and the data from lackey plus what the natively executed
instructions name by address (objdump's comments). The code lackey saw is
listed too, after the rest, so that a machine picking those string functions
finds them near.

A function name that several objects define (a `static` helper of the C
library) is left out: lld would move every one of them.

Rewriting the order is the closing step of every change that moves code;
scripts/layout-profile runs this and then checks the result
(scripts/check-layout).

  bench/layout_profile.py --exe build-bench/tarvelo --tools-dir build-bench/bench
"""
import argparse
import bisect
import collections
import os
import re
import subprocess
import sys
import tempfile
import shutil

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench  # noqa: E402

OUT = os.path.join(os.path.dirname(bench.HERE), "cmake", "hot_symbols.txt")
CODE_TYPES = set("tTwWiI")


class SymbolTable:
    """The executable's defined symbols, by address."""

    def __init__(self, exe):
        out = subprocess.run(["nm", "-n", "-S", "--defined-only", exe],
                             capture_output=True, text=True, check=True).stdout
        self.rows = []
        for line in out.splitlines():
            parts = line.split()
            if len(parts) == 4:
                self.rows.append((int(parts[0], 16), int(parts[1], 16),
                                  parts[2], parts[3]))
        self.starts = [row[0] for row in self.rows]
        self.count = collections.Counter(row[3] for row in self.rows)

    def holder(self, address):
        """The (type, name) of the symbol whose extent holds address."""
        i = bisect.bisect_right(self.starts, address) - 1
        # Symbols can nest (aliases, a table inside a larger object): take
        # the nearest one that still reaches the address.
        while i >= 0 and address - self.rows[i][0] < 1 << 20:
            start, size, kind, name = self.rows[i]
            if start <= address < start + size:
                return kind, name
            i -= 1
        return None


def loaded_range(exe):
    """The lowest and highest address of the executable's segments."""
    out = subprocess.run(["readelf", "-lW", exe], capture_output=True,
                         text=True, check=True).stdout
    low, high = None, 0
    for line in out.splitlines():
        parts = line.split()
        if parts and parts[0] == "LOAD":
            start, size = int(parts[2], 16), int(parts[5], 16)
            low = start if low is None else min(low, start)
            high = max(high, start + size)
    return low, high


def touched(trace_path, symbols, low, high):
    """Code and data symbol names in the order of first touch."""
    code, data = {}, {}
    with open(trace_path) as f:
        for line in f:
            if line.startswith("=="):
                continue
            kind = line[:2].strip()
            try:
                address = int(line[3:].split(",", 1)[0], 16)
            except ValueError:
                continue
            if not low <= address < high:
                continue
            found = symbols.holder(address)
            if found is None:
                continue
            sym_kind, name = found
            target = code if kind == "I" and sym_kind in CODE_TYPES else data
            target.setdefault(name, len(target))
    return list(code), list(data)


def lackey_trace(program, body_path, env, work, name):
    trace = os.path.join(work, f"lackey-{name}.txt")
    with open(body_path, "rb") as body:
        result = subprocess.run(
            ["valgrind", "--tool=lackey", "--trace-mem=yes",
             f"--log-file={trace}", program],
            stdin=body, env=env, capture_output=True, timeout=300)
    if result.returncode != 0:
        raise bench.CheckFailed(f"lackey run of {program} failed")
    return trace


def native_trace(timer, program, body_path, env, symbols, low, high):
    """The functions in the order the real processor first ran them, and
    the addresses of every instruction it ran in the executable."""
    out = subprocess.run([timer, "steps", body_path, program], env=env,
                         capture_output=True, text=True, timeout=600)
    if out.returncode != 0:
        raise bench.CheckFailed(f"the step trace of {program} failed:\n"
                                + out.stderr)
    code = {}
    executed = set()
    for match in re.finditer(r"at 0x([0-9a-f]+)", out.stdout):
        address = int(match.group(1), 16)
        if not low <= address < high:
            continue
        executed.add(address)
        found = symbols.holder(address)
        if found is not None and found[0] in CODE_TYPES:
            code.setdefault(found[1], len(code))
    return list(code), executed


def named_data(exe, executed, symbols):
    """The objects that the executed instructions name by address (objdump's
    comment on a RIP-relative operand), in address order of the code."""
    out = subprocess.run(["objdump", "-d", "--no-show-raw-insn", exe],
                         capture_output=True, text=True, check=True).stdout
    data = []
    for match in re.finditer(r"^\s*([0-9a-f]+):[^\n]*# ([0-9a-f]+) <", out,
                             re.MULTILINE):
        if int(match.group(1), 16) not in executed:
            continue
        found = symbols.holder(int(match.group(2), 16))
        if found is not None and found[0] not in CODE_TYPES:
            if found[1] not in data:
                data.append(found[1])
    return data


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--exe", required=True)
    parser.add_argument("--tools-dir", required=True)
    parser.add_argument("--out", default=OUT)
    parser.add_argument("--quick", action="store_true",
                        help="the errors run only (smoke test)")
    args = parser.parse_args(argv)

    exe = os.path.abspath(args.exe)
    tools = bench.find_tools(args.tools_dir)
    symbols = SymbolTable(exe)
    low, high = loaded_range(exe)
    work = tempfile.mkdtemp(prefix="tarvelo-layout-")
    sink = None
    try:
        sink = bench.Sink(tools["smtp_sink"], work)
        env = bench.cgi_environment(bench.FORM_BODY)
        code, data, lackey_code = [], [], []
        executed = set()
        for logging in ("errors",) if args.quick else ("errors", "debug"):
            program = bench.lay_out_gateway(os.path.join(work, logging), exe,
                                            sink.port, logging)
            bench.check_one_run(program, bench.FORM_BODY, env, sink, True)
            native, ran = native_trace(tools["spawn_timer"], program,
                                       bench.FORM_BODY, env, symbols, low,
                                       high)
            executed |= ran
            trace = lackey_trace(program, bench.FORM_BODY, env, work, logging)
            seen_code, seen_data = touched(trace, symbols, low, high)
            code += [name for name in native if name not in code]
            data += [name for name in seen_data if name not in data]
            lackey_code += [name for name in seen_code
                            if name not in lackey_code]
        # What only the native run reads (the vDSO's lookup, for one) is
        # found through the instructions that name it.
        data += [name for name in named_data(exe, executed, symbols)
                 if name not in data]
    except (bench.CheckFailed, subprocess.CalledProcessError) as error:
        print(f"layout_profile: FAILED: {error}", file=sys.stderr)
        return 1
    finally:
        if sink is not None:
            sink.stop()
        shutil.rmtree(work, ignore_errors=True)

    code += [name for name in lackey_code if name not in code]
    code = [name for name in code if symbols.count[name] == 1]
    # A switch's lookup table is numbered anew by every build that changes
    # its file: a name a later link would not find.
    data = [name for name in data if not name.startswith("CSWTCH.")]
    with open(args.out, "w") as f:
        f.write("# What a typical run touches, in the order of first touch:\n"
                "# functions, then objects. Written by scripts/layout-profile"
                "; read by lld\n# (cmake/static_layout.cmake). Write it anew"
                " after every change that moves\n# code; the ctest "
                "layout.order_current fails when it has gone stale.\n")
        f.write("\n".join(code + data) + "\n")
    print(f"layout_profile: {len(code)} functions and {len(data)} objects "
          f"written to {args.out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
