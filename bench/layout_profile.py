#!/usr/bin/env python3
"""Writes cmake/hot_symbols.txt: what a typical run of the gateway touches.

The benchmark's form is posted to the gateway (the sample ini, pointed at the
benchmark's SMTP sink) under valgrind's lackey tool, once with `logging
errors` and once with `logging debug`. Every instruction fetch and every load
and store inside the executable is mapped to the symbol that holds it. The
result lists the touched functions first and the touched objects after, each
in the order of first touch; lld then places them together (see
cmake/static_layout.cmake).

valgrind reports a processor of its own, so the C library picks other string
functions under it than on the real processor. The real choices are read from
the executable's function tables (.got and .got.plt) as a native run exits, and listed
as well.

A function name that several objects define (a `static` helper of the C
library) is left out: lld would move every one of them.

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
# The C library's processor-specific versions: __memchr_evex, __strlen_avx2,
# __memmove_avx512_unaligned_erms, __strcspn_sse42...
IFUNC_VARIANT = re.compile(r"^__\w+_(sse2|ssse3|sse4|sse42|avx|avx2|avx512|evex)"
                           r"(_|$)")


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
        self.by_address = {row[0]: row[3] for row in self.rows
                           if row[2] in CODE_TYPES}

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


def section(exe, name):
    """(address, size) of a section, or None."""
    out = subprocess.run(["readelf", "-SW", exe], capture_output=True,
                         text=True, check=True).stdout
    for line in out.splitlines():
        match = re.match(r"\s*\[\s*\d+\]\s+(\S+)\s+\S+\s+([0-9a-f]+)\s+"
                         r"[0-9a-f]+\s+([0-9a-f]+)", line)
        if match and match.group(1) == name:
            return int(match.group(2), 16), int(match.group(3), 16)
    return None


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


def native_string_functions(timer, program, body_path, env, symbols):
    """The functions the C library chose for this processor."""
    chosen = []
    for name in (".got", ".got.plt"):
        table = section(program, name)
        if table is None:
            continue
        address, size = table
        out = subprocess.run([timer, "words", body_path, program,
                              f"{address:x}", str(size // 8)], env=env,
                             capture_output=True, text=True).stdout
        for match in re.finditer(r"word 0x([0-9a-f]+)", out):
            function = symbols.by_address.get(int(match.group(1), 16))
            if function is not None and IFUNC_VARIANT.search(function):
                if function not in chosen:
                    chosen.append(function)
    return chosen


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--exe", required=True)
    parser.add_argument("--tools-dir", required=True)
    parser.add_argument("--out", default=OUT)
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
        code, data = [], []
        native = []
        for logging in ("errors", "debug"):
            program = bench.lay_out_gateway(os.path.join(work, logging), exe,
                                            sink.port, logging)
            bench.check_one_run(program, bench.FORM_BODY, env, sink, True)
            trace = lackey_trace(program, bench.FORM_BODY, env, work, logging)
            more_code, more_data = touched(trace, symbols, low, high)
            code += [name for name in more_code if name not in code]
            data += [name for name in more_data if name not in data]
            native += [name for name in native_string_functions(
                tools["spawn_timer"], program, bench.FORM_BODY, env, symbols)
                if name not in native]
    except (bench.CheckFailed, subprocess.CalledProcessError) as error:
        print(f"layout_profile: FAILED: {error}", file=sys.stderr)
        return 1
    finally:
        if sink is not None:
            sink.stop()
        shutil.rmtree(work, ignore_errors=True)

    # The native string functions go right after the code valgrind saw.
    code += [name for name in native if name not in code]
    code = [name for name in code if symbols.count[name] == 1]
    with open(args.out, "w") as f:
        f.write("# What a typical run touches, in the order of first touch:\n"
                "# functions, then objects. Written by scripts/layout-profile"
                "; read by lld\n# (cmake/static_layout.cmake).\n")
        f.write("\n".join(code + data) + "\n")
    print(f"layout_profile: {len(code)} functions and {len(data)} objects "
          f"written to {args.out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
