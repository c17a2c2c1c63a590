#!/usr/bin/env python3
"""Delta encoder benchmark: our encoder against bsdiff, xdelta3 and zstd.

For each version pair of the corpus (scripts/bench-corpus.sh) every tool makes a
patch and applies it; every result is checked byte for byte. Ours is timed as
`selfpatch diff --zlib` (the delta body as a zlib stream, level 9, compressed
in chunks on every core as `pack` does with zlib alone) and applied
by `selfpatch apply --zlib` with the installer's decoder; its size is the one
the installer carries (`selfpatch diff --packed`: the smaller of zlib level 9
and zopfli, as `pack` compresses payload entries), shown beside the zlib-9 size.
The two runs of our diff must give the same delta body (determinism). The
same delta body compressed with `xz -9e` is shown beside the packed size: the
gap between the two is what the deflate coding costs, the rest is the
matcher's. Our apply is set against `zstd -d --patch-from` per pair as a ratio
of minimum wall times. With BENCH_BASELINE naming another build of selfpatch
(today's encoder, say), its diff runs too and the speed-up is shown per pair,
as is ours on every core against ours on one thread (`diff --threads 1`).
Every diff and apply runs BENCH_RUNS times (default 3): times are shown as the
minimum and the median of the runs, wall clock and CPU (user + system), and the
goals compare minimum wall times, the figure least disturbed by a busy machine;
the machine's load is printed before and after.
Prints, per pair and as geometric means, the patch size as a percentage of the
new file, diff and apply times and peak memory, then the goals.

usage: encoder_bench.py SELFPATCH [PAIR_FILTER]
"""
import math
import os
import statistics
import subprocess
import sys
import tempfile
import time
import zlib

RUNS = max(1, int(os.environ.get("BENCH_RUNS", "3")))
BASELINE = os.environ.get("BENCH_BASELINE", "")

TOOLS = ["selfpatch", "bsdiff", "xdelta3", "zstd"]


def commands(tool, selfpatch, old, new, patch, out):
    """(diff command, apply command) of a tool."""
    if tool == "selfpatch":
        return ([selfpatch, "diff", old, new, "-o", patch, "--zlib"],
                [selfpatch, "apply", old, patch, "-o", out, "--zlib"])
    if tool == "bsdiff":
        return (["bsdiff", old, new, patch], ["bspatch", old, out, patch])
    if tool == "xdelta3":
        return (["xdelta3", "-f", "-e", "-9", "-S", "djw", "-s", old, new, patch],
                ["xdelta3", "-f", "-d", "-s", old, patch, out])
    if tool == "zstd":
        return (["zstd", "-q", "-f", "-19", "--long=27", "--patch-from=" + old, new, "-o", patch],
                ["zstd", "-q", "-f", "-d", "--long=27", "--patch-from=" + old, patch, "-o", out])
    raise ValueError(tool)


def measured_once(command):
    """Runs a command under /usr/bin/time -v: (wall seconds, CPU seconds, peak KiB)."""
    started = time.perf_counter()
    result = subprocess.run(["/usr/bin/time", "-v"] + command, capture_output=True, text=True)
    # Wall time at a finer grain than time's hundredths: small pairs apply in a few of them.
    seconds = time.perf_counter() - started
    if result.returncode != 0:
        raise RuntimeError("%s failed:\n%s" % (" ".join(command), result.stderr))
    peak = None
    cpu = 0.0
    for line in result.stderr.splitlines():
        line = line.strip()
        if line.startswith(("User time (seconds)", "System time (seconds)")):
            cpu += float(line.rsplit(" ", 1)[1])
        elif line.startswith("Maximum resident set size"):
            peak = int(line.rsplit(" ", 1)[1])
    return seconds, cpu, peak


def measured(command):
    """Runs a command RUNS times: minimum and median of wall and CPU seconds,
    and the largest peak KiB."""
    runs = [measured_once(command) for _ in range(RUNS)]
    walls, cpus, peaks = zip(*runs)
    return {"min": min(walls), "median": statistics.median(walls),
            "cpu_min": min(cpus), "cpu_median": statistics.median(cpus), "peak": max(peaks)}


def load():
    one, five, _ = os.getloadavg()
    return "load average %.2f (1 min), %.2f (5 min) on %d cores" % (one, five, os.cpu_count() or 0)


def same_bytes(a, b):
    with open(a, "rb") as fa, open(b, "rb") as fb:
        while True:
            x, y = fa.read(1 << 20), fb.read(1 << 20)
            if x != y:
                return False
            if not x:
                return True


def xz_size(body):
    """Bytes of BODY compressed by `xz -9e` (raw format, no container overhead
    beyond xz's own header)."""
    return len(subprocess.run(["xz", "-9e", "-c", "-T1"], input=body, capture_output=True,
                              check=True).stdout)


def unpacked(path):
    with open(path, "rb") as f:
        return zlib.decompress(f.read())


def geomean(values):
    values = [v for v in values if v > 0]
    return math.exp(sum(math.log(v) for v in values) / len(values)) if values else float("nan")


def corpus(root, pair_filter):
    listing = subprocess.run(["bash", os.path.join(root, "scripts/bench-corpus.sh")],
                             check=True, capture_output=True, text=True, cwd=root).stdout
    for line in listing.splitlines():
        name, old, new = line.split()
        if pair_filter in name:
            yield name, os.path.join(root, old), os.path.join(root, new)


def main():
    selfpatch = os.path.abspath(sys.argv[1])
    pair_filter = sys.argv[2] if len(sys.argv) > 2 else ""
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    rows = []
    print("machine before the runs: %s; %d runs of each command" % (load(), RUNS))
    with tempfile.TemporaryDirectory() as work:
        for name, old, new in corpus(root, pair_filter):
            row = {"name": name, "old": os.path.getsize(old), "new": os.path.getsize(new)}
            for tool in TOOLS:
                patch = os.path.join(work, tool + ".patch")
                out = os.path.join(work, tool + ".out")
                make, apply = commands(tool, selfpatch, old, new, patch, out)
                diff_time = measured(make)
                apply_time = measured(apply)
                if not same_bytes(out, new):
                    raise RuntimeError("%s: %s rebuilt other bytes than the new file" % (name, tool))
                row[tool] = {"size": os.path.getsize(patch), "diff": diff_time["min"],
                             "apply": apply_time["min"], "diff_times": diff_time,
                             "apply_times": apply_time, "diff_peak": diff_time["peak"],
                             "apply_peak": apply_time["peak"]}
                if tool == "selfpatch":
                    row[tool]["zlib9"] = row[tool]["size"]
                    body = unpacked(patch)
                    row[tool]["xz"] = xz_size(body)
                    # The same diff on one thread: what the second core brings,
                    # and the same delta.
                    row[tool]["one_thread"] = measured(make + ["--threads", "1"])
                    row[tool]["same_one_thread"] = unpacked(patch) == body
                    subprocess.run([selfpatch, "diff", old, new, "-o", patch, "--packed"], check=True)
                    row[tool]["size"] = os.path.getsize(patch)
                    # A second run on the same inputs must give the same delta.
                    row[tool]["same_twice"] = unpacked(patch) == body
                os.remove(patch)
                os.remove(out)
            if BASELINE:
                patch = os.path.join(work, "baseline.patch")
                row["baseline_diff"] = measured([BASELINE, "diff", old, new, "-o", patch, "--zlib"])
                os.remove(patch)
            rows.append(row)
            report_row(row)
            sys.stdout.flush()
    if rows:
        report_means(rows)
        report_cpu(rows)
        report_coder(rows)
        report_goals(rows)
    print("machine after the runs: %s" % load())


HEADER = "%-26s %9s" % ("pair", "new KiB") + "".join(
    " | %-9s %6s %13s %13s %6s" % (t, "size%", "diff s", "app s", "MiB") for t in TOOLS)


def min_median(times):
    return "%5.3f/%-5.3f" % (times["min"], times["median"])


def report_row(row):
    if not hasattr(report_row, "printed"):
        print("delta encoder: patch size (% of new file), diff and apply wall time (s, minimum/median"
              " of the runs), peak memory of diff")
        print("(selfpatch: size as packed, z9 = as a zlib level 9 stream; times with zlib level 9 on every core)")
        print(HEADER)
        report_row.printed = True
    line = "%-26s %9d" % (row["name"], row["new"] // 1024)
    for tool in TOOLS:
        r = row[tool]
        extra = "z9 %6.2f" % (100.0 * r["zlib9"] / row["new"]) if "zlib9" in r else ""
        line += " | %-9s %6.2f %13s %13s %6.0f" % (
            extra, 100.0 * r["size"] / row["new"], min_median(r["diff_times"]),
            min_median(r["apply_times"]), r["diff_peak"] / 1024)
    print(line)


def report_cpu(rows):
    """CPU seconds (user + system), geometric means of the minimum and median of
    the runs: what a command costs whatever else the machine was doing."""
    print()
    print("CPU time (s, geometric means over the pairs of the minimum/median of the runs):")
    for tool in TOOLS:
        def mean(kind, key):
            return geomean([r[tool][kind + "_times"][key] for r in rows])
        print("  %-9s diff %5.2f/%-5.2f   apply %5.2f/%-5.2f" % (
            tool, mean("diff", "cpu_min"), mean("diff", "cpu_median"),
            mean("apply", "cpu_min"), mean("apply", "cpu_median")))


def report_means(rows):
    line = "%-26s %9s" % ("geometric mean", "")
    for tool in TOOLS:
        extra = ("z9 %6.2f" % geomean([100.0 * r[tool]["zlib9"] / r["new"] for r in rows])
                 if "zlib9" in rows[0][tool] else "")
        line += " | %-9s %6.2f %13.3f %13.3f %6.0f" % (
            extra, geomean([100.0 * r[tool]["size"] / r["new"] for r in rows]),
            geomean([r[tool]["diff"] for r in rows]), geomean([r[tool]["apply"] for r in rows]),
            geomean([r[tool]["diff_peak"] / 1024 for r in rows]))
    print(line)


def report_coder(rows):
    """The delta streams under two coders: as packed (zlib or zopfli) and xz -9e."""
    print()
    print("the same delta streams coded: packed as `pack` does against xz -9e (% of new file)")
    print("%-26s %8s %8s %10s" % ("pair", "packed", "xz -9e", "xz/packed"))
    for r in rows:
        s = r["selfpatch"]
        print("%-26s %8.2f %8.2f %10.3f" % (r["name"], 100.0 * s["size"] / r["new"],
                                             100.0 * s["xz"] / r["new"], s["xz"] / s["size"]))
    print("%-26s %8.2f %8.2f %10.3f" % (
        "geometric mean", geomean([100.0 * r["selfpatch"]["size"] / r["new"] for r in rows]),
        geomean([100.0 * r["selfpatch"]["xz"] / r["new"] for r in rows]),
        geomean([r["selfpatch"]["xz"] / r["selfpatch"]["size"] for r in rows])))


def report_goals(rows):
    def ratio(key, other):
        # A time below the clock's resolution (0.00 s) gives no ratio.
        return geomean([r["selfpatch"][key] / r[other][key] for r in rows if r[other][key] > 0])

    size = ratio("size", "bsdiff")
    speed = 1 / ratio("diff", "bsdiff")
    apply = 1 / ratio("apply", "bsdiff")
    memory = max(r["selfpatch"]["diff_peak"] * 1024 / (r["old"] + r["new"]) for r in rows)
    beaten = [r["name"] for r in rows
              if r["selfpatch"]["size"] > min(r["zstd"]["size"], r["bsdiff"]["size"])]
    print()
    print("goals (selfpatch against the others, same run):")
    print("  patch size vs bsdiff (geometric mean of ratios) %.3fx   goal <= 0.85x  %s"
          % (size, "met" if size <= 0.85 else "MISSED"))
    print("  never bigger than bsdiff's or zstd's on any pair: %s"
          % ("met" if not beaten else "MISSED on " + ", ".join(beaten)))
    for r in rows:
        print("    %-26s vs zstd %.3fx  vs xdelta3 %.3fx  vs bsdiff %.3fx" % (
            r["name"], r["selfpatch"]["size"] / r["zstd"]["size"],
            r["selfpatch"]["size"] / r["xdelta3"]["size"],
            r["selfpatch"]["size"] / r["bsdiff"]["size"]))
    print("  diff speed vs bsdiff %.2fx faster   goal >= 5x  %s" % (speed, "met" if speed >= 5 else "MISSED"))
    print("  peak diff memory, worst pair %.2fx (old + new)   goal <= 6x  %s"
          % (memory, "met" if memory <= 6 else "MISSED"))
    print("  apply speed vs bspatch %.2fx faster   goal > 1x  %s" % (apply, "met" if apply > 1 else "MISSED"))
    slower = [r["name"] for r in rows if r["selfpatch"]["apply"] > r["zstd"]["apply"]]
    print("  apply at least as fast as zstd -d --patch-from on every pair: %s"
          % ("met" if not slower else "MISSED on " + ", ".join(slower)))
    for r in rows:
        print("    %-26s ours/zstd apply time %.2fx (%.3f s / %.3f s)" % (
            r["name"], r["selfpatch"]["apply"] / max(r["zstd"]["apply"], 1e-3),
            r["selfpatch"]["apply"], r["zstd"]["apply"]))
    print("  diff on every core against one thread (minimum wall times; CPU s, all cores):")
    for r in sorted(rows, key=lambda r: -r["new"]):
        one, ours = r["selfpatch"]["one_thread"], r["selfpatch"]["diff_times"]
        print("    %-26s %.2fx faster (%.3f s / %.3f s), CPU %.2f s / %.2f s" % (
            r["name"], one["min"] / max(ours["min"], 1e-3), ours["min"], one["min"],
            ours["cpu_min"], one["cpu_min"]))
    if BASELINE:
        print("  diff speed vs the baseline %s (minimum wall times):" % BASELINE)
        for r in sorted(rows, key=lambda r: -r["new"]):
            base = r["baseline_diff"]
            print("    %-26s %.2fx faster (%.2f s / %.2f s), CPU %.2f s / %.2f s" % (
                r["name"], base["min"] / max(r["selfpatch"]["diff"], 1e-3), r["selfpatch"]["diff"],
                base["min"], r["selfpatch"]["diff_times"]["cpu_min"], base["cpu_min"]))
    varying = [r["name"] for r in rows
               if not (r["selfpatch"]["same_twice"] and r["selfpatch"]["same_one_thread"])]
    print("  the same delta from two runs and on one thread, on every pair: %s"
          % ("met" if not varying else "MISSED on " + ", ".join(varying)))


if __name__ == "__main__":
    main()
