#!/usr/bin/env python3
"""The tool and the installer on a product of real size (`make bench-scale`).

    scale_bench.py SELFPATCH [--seed N] [--files N] [--megabytes N]

Generates the product (bench/product_gen.py, into bench/cache, once), then:
  1. `selfpatch build` on all processors and on one thread: wall and CPU time,
     peak memory, the processors in use (CPU over wall time), and whether both
     installers are the same bytes;
  2. what each old version downloads: the records it uses against the whole
     patch, and a patch for that version alone (from `build --json`);
  3. the installer under Wine on the oldest version, against a plain copy of
     the changed files (bench/installer_scale.py, when it is there).
Prints one table. Figures, not tests: nothing here fails on a slow machine,
only on a wrong result (different bytes, a failed build or run).
"""
import argparse
import json
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)


def timed(command, cwd=None):
    """Runs COMMAND under /usr/bin/time -v: (stdout, wall s, CPU s, peak MiB)."""
    result = subprocess.run(["/usr/bin/time", "-v"] + command, cwd=cwd, capture_output=True, text=True)
    if result.returncode != 0:
        sys.exit("%s failed:\n%s" % (" ".join(command), result.stderr[-4000:]))
    wall = cpu = peak = 0.0
    for line in result.stderr.splitlines():
        line = line.strip()
        if line.startswith("Elapsed (wall clock) time"):
            clock = line.rsplit(" ", 1)[1].split(":")
            wall = sum(float(part) * 60 ** i for i, part in enumerate(reversed(clock)))
        elif line.startswith(("User time (seconds)", "System time (seconds)")):
            cpu += float(line.rsplit(" ", 1)[1])
        elif line.startswith("Maximum resident set size"):
            peak = int(line.rsplit(" ", 1)[1]) / 1024
    return result.stdout, wall, cpu, peak


def row(label, value):
    print("  %-52s %s" % (label, value))


def megabytes(count):
    return "%.1f MB" % (count / 1e6)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("selfpatch")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--files", type=int, default=3000)
    parser.add_argument("--megabytes", type=int, default=700)
    args = parser.parse_args()
    selfpatch = os.path.abspath(args.selfpatch)
    product = os.path.join(HERE, "cache", "scale-%d-%d-%d" % (args.seed, args.files, args.megabytes))
    subprocess.run([sys.executable, os.path.join(HERE, "product_gen.py"), product, "--seed", str(args.seed),
                    "--files", str(args.files), "--megabytes", str(args.megabytes)], check=True)
    one, two = os.path.join(product, "update.exe"), os.path.join(product, "update-1thread.exe")
    print("load average %.2f %.2f %.2f on %d processors" % (os.getloadavg() + (os.cpu_count() or 0,)))

    out, wall, cpu, peak = timed([selfpatch, "build", "product.toml", "-o", one, "--json", "--quiet"], product)
    summary = json.loads(out)
    _, wall1, cpu1, peak1 = timed([selfpatch, "build", "product.toml", "-o", two, "--quiet", "--threads", "1"],
                                  product)
    same = open(one, "rb").read() == open(two, "rb").read()

    versions = ["1.0", "2.0", "3.0"]
    sizes = [sum(os.path.getsize(os.path.join(d, f)) for d, _, fs in os.walk(os.path.join(product, v)) for f in fs)
             for v in versions]
    print("\nproduct: %d files, %s in 3.0 (1.0: %s, 2.0: %s); patch %s, installer %s" % (
        summary["files"], megabytes(sizes[2]), megabytes(sizes[0]), megabytes(sizes[1]),
        megabytes(summary["patch_bytes"]), megabytes(summary["installer"]["bytes"])))
    print("records: %(delta)d delta, %(chained)d chained, %(full)d full" % summary["records"])
    print("\nselfpatch build")
    row("wall time, all processors", "%.1f s (CPU %.1f s: %.2f processors in use)" % (wall, cpu, cpu / wall))
    row("wall time, one thread", "%.1f s (CPU %.1f s)" % (wall1, cpu1))
    row("speed-up of all processors over one thread", "%.2fx" % (wall1 / wall))
    row("peak memory, all processors / one thread", "%.0f MiB / %.0f MiB" % (peak, peak1))
    row("largest old + new file pair", megabytes(largest_pair(product, versions)))
    row("same installer bytes on one thread", "yes" if same else "NO")
    print("\nwhat each old version downloads (patch bytes before compression)")
    for version in summary["versions"]:
        row("%s: records it uses / the whole patch" % os.path.basename(version["folder"]),
            "%s / %s (%.1f%%)" % (megabytes(version["record_bytes"]), megabytes(summary["patch_bytes"]),
                                  100.0 * version["record_bytes"] / summary["patch_bytes"]))
        row("%s: a patch for it alone" % os.path.basename(version["folder"]),
            "%s (%.2fx of the whole)" % (megabytes(version["alone_bytes"]),
                                         version["alone_bytes"] / summary["patch_bytes"]))
    installer_bench = os.path.join(HERE, "installer_scale.py")
    status = 0 if same else 1
    if os.path.exists(installer_bench):
        print("\nthe installer under Wine on 1.0")
        sys.stdout.flush()
        status |= subprocess.run([sys.executable, installer_bench, product, "--installer", one]).returncode
    return status


def largest_pair(product, versions):
    """The largest new file together with its largest old copy."""
    best = 0
    new = os.path.join(product, versions[-1])
    for folder, _, files in os.walk(new):
        for name in files:
            relative = os.path.relpath(os.path.join(folder, name), new)
            olds = [os.path.getsize(os.path.join(product, v, relative)) for v in versions[:-1]
                    if os.path.exists(os.path.join(product, v, relative))]
            best = max(best, os.path.getsize(os.path.join(new, relative)) + max(olds, default=0))
    return best


if __name__ == "__main__":
    sys.exit(main())
