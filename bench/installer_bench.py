#!/usr/bin/env python3
"""Installer benchmark: one silent update of a large DLL, by delta against by
full content, under Wine (run through scripts/with-wine.sh; the build that
SP_WIN_BUILD names, the 64-bit test twin with SP_WINE_LOADER=64).

Both installers are built with the tool as the tests build them (`selfpatch
assemble` of one record, `selfpatch pack` with zlib level 9): one carries the
delta from the old DLL to the new one, the other the new DLL's full content.
Each run puts the old DLL back into the product folder (not timed), runs the
installer silently and checks its exit code and the DLL it leaves. The time is
the whole run of `wine runwait update.exe /s`: Wine's start, unpacking,
decoding or copying, the CRC checks and the replacement. A third installer, run
over a product that is new already, shows what a run costs that writes nothing.
Every installer runs BENCH_RUNS times (default 3), interleaved: minimum and
median of wall and CPU time (user + kernel time of the installer's process, as
runwait reads it from Windows), the machine's load before and after.

usage: installer_bench.py [PAIR]   (default: the corpus's libvips-x64-adjacent)
"""
import os
import re
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "e2e"))
import kit  # noqa: E402

RUNS = max(1, int(os.environ.get("BENCH_RUNS", "3")))
DLL = "libvips-42.dll"
GOAL = 2.0  # a delta update at most this many times the full-content one


def load():
    one, five, _ = os.getloadavg()
    return "load average %.2f (1 min), %.2f (5 min) on %d cores" % (one, five, os.cpu_count() or 0)


def corpus_pair(name):
    listing = subprocess.run(["bash", str(ROOT / "scripts/bench-corpus.sh")], check=True,
                             capture_output=True, text=True, cwd=ROOT).stdout
    for line in listing.splitlines():
        pair, old, new = line.split()
        if pair == name:
            return ROOT / old, ROOT / new
    raise SystemExit("installer_bench: no pair %r in the corpus" % name)


def build_installer(case, name, record):
    texts = {"0": "Bench", "1": "1.0", "2": "2.0", "5": "%s %s update", "29": "failed %s"}
    patch = kit.assemble({"texts": texts, "records": [record]}, case.path(name + ".dif"))
    return kit.pack(patch, case.path(name + ".exe"))


def timed_run(case, exe, start_content, expected):
    """Puts START_CONTENT in place, runs EXE silently: (wall s, CPU s)."""
    product = case.path("product")
    shutil.copyfile(start_content, product / DLL)
    env = dict(os.environ, WINEPATH=kit.to_windows(product))
    started = time.perf_counter()
    result = subprocess.run(["wine", str(kit.RUNWAIT), kit.to_windows(exe), "/s"],
                            capture_output=True, text=True, timeout=600, env=env)
    wall = time.perf_counter() - started
    code = kit.runwait_code(result.stdout, result.stderr)
    if code != 0:
        raise RuntimeError("%s ended with %d" % (exe.name, code))
    if (product / DLL).read_bytes() != expected:
        raise RuntimeError("%s left other bytes than the new DLL" % exe.name)
    cpu = re.search(r"^cpu-ms=(\d+)", result.stdout, re.M)
    return wall, int(cpu.group(1)) / 1000 if cpu else float("nan")


def summary(times):
    walls, cpus = zip(*times)
    return {"min": min(walls), "median": statistics.median(walls),
            "cpu_min": min(cpus), "cpu_median": statistics.median(cpus)}


def main():
    pair = sys.argv[1] if len(sys.argv) > 1 else "libvips-x64-adjacent"
    old, new = corpus_pair(pair)
    case = kit.make_case("bench_installer")
    (case.path("product")).mkdir()
    shutil.copyfile(old, case.path("old.bin"))
    shutil.copyfile(new, case.path("new.bin"))
    expected = new.read_bytes()
    installers = {
        "delta": build_installer(case, "delta", {"name": DLL, "old": {"file": "old.bin"},
                                                 "new": {"file": "new.bin"}}),
        "full content": build_installer(case, "full", {"name": DLL, "content": {"file": "new.bin"}}),
    }
    print("machine before the runs: %s; %d runs of each installer" % (load(), RUNS))
    print("installer %s, %s: %s %d KiB -> %d KiB" % (
        kit.SFX, pair, DLL, old.stat().st_size // 1024, new.stat().st_size // 1024))
    times = {name: [] for name in list(installers) + ["nothing to do"]}
    for _ in range(RUNS):
        for name, exe in installers.items():
            times[name].append(timed_run(case, exe, case.path("old.bin"), expected))
        # The full-content installer over a product that is new already.
        times["nothing to do"].append(
            timed_run(case, installers["full content"], case.path("new.bin"), expected))
    print("%-14s %10s %16s %16s" % ("update", "exe KiB", "wall s min/med", "CPU s min/med"))
    sizes = {name: exe.stat().st_size for name, exe in installers.items()}
    for name, runs in times.items():
        s = summary(runs)
        size = sizes.get(name, sizes["full content"])
        print("%-14s %10d %7.2f/%-8.2f %7.2f/%-8.2f" % (
            name, size // 1024, s["min"], s["median"], s["cpu_min"], s["cpu_median"]))
    delta, full = summary(times["delta"]), summary(times["full content"])
    ratio = delta["min"] / full["min"]
    print()
    print("goal: the delta update at most %.1fx the full-content one (minimum wall times)" % GOAL)
    print("  delta / full content %.2fx  %s" % (ratio, "met" if ratio <= GOAL else "MISSED"))
    print("machine after the runs: %s" % load())
    shutil.rmtree(case.dir, ignore_errors=True)


if __name__ == "__main__":
    main()
