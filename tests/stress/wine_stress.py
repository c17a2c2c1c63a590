"""Runs mutants of real patches and payloads through the real installer under
Wine, one after another in one Wine prefix, against a freshly installed first
version of the product in a folder of its own per run.

Usage (inside scripts/with-wine.sh): wine_stress.py MUTANTS_DIR [LIMIT]
MUTANTS_DIR is what `mutation_stress --emit` wrote. Each run checks:
- the run ends, within its time limit, with one of the documented exit codes;
- nothing changed in the prefix's drive C (nor in its drive Z:, an empty
  folder) outside the installed product's folder and the unpack folder, which
  must be gone afterwards;
- the product is untouched when the fault was found before the update began
  (codes 1, 2 and 100 to 103), and a mutant that the native readers refused
  ends with the code of that refusal;
- every product file afterwards is a known version of some file (the CRC check
  let nothing else through) and no ".~up" file is left.
Prints the figures and exits 1 when any check failed."""
import collections
import hashlib
import os
import re
import shutil
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "e2e"))
import kit  # noqa: E402

DOCUMENTED = {0, 1, 2, 100, 101, 102, 103, 104, 106, 107, 200}
BEFORE_UPDATE = {1, 2, 100, 101, 102, 103}
# The code the installer must end with for each stage at which the native
# readers refused the mutant.
EXPECTED_FOR_REFUSAL = {
    "refused:header": {103}, "refused:records": {103}, "refused:container": {1},
    "refused:inflate": {1}, "refused:command line": {100}, "refused:patch not unpacked": {101},
}
TIME_LIMIT = 60

ROOT = Path(__file__).resolve().parents[2]
STRESS = kit.DRIVE_C / "stress"
RUNS = STRESS / "runs"
# Drive Z: of the stress prefix: an empty folder that must stay empty.
DRIVE_Z = ROOT / "build" / "stress" / "z"


def snapshot(top, skip):
    """Every file and folder under TOP (but not under SKIP) with size and time."""
    state = {}
    for folder, dirs, files in os.walk(top):
        here = Path(folder)
        dirs[:] = [d for d in dirs if here / d != skip]
        for name in dirs + files:
            path = here / name
            try:
                info = path.lstat()
            except FileNotFoundError:
                continue
            # A folder counts by its presence: its time changes with its entries,
            # which are compared themselves.
            is_dir = path.is_dir() and not path.is_symlink()
            state[str(path.relative_to(top))] = (0, 0, True) if is_dir else (info.st_size, info.st_mtime_ns, False)
    return state


def digest(folder):
    return {str(p.relative_to(folder)): hashlib.sha256(p.read_bytes()).hexdigest()
            for p in sorted(folder.rglob("*")) if p.is_file()}


def known_versions(mutants):
    versions = set()
    for path in (mutants / "versions").iterdir():
        versions.add(hashlib.sha256(path.read_bytes()).hexdigest())
    return versions


def selfpatch_pack(*args):
    # Warnings may quote a hostile entry name byte for byte: output stays bytes.
    result = subprocess.run([str(kit.SELFPATCH), "pack", *map(str, args), "--stub", str(kit.SFX)],
                            capture_output=True, timeout=300)
    if result.returncode != 0:
        raise AssertionError(f"selfpatch pack failed: {result.stderr[-500:]!r}")


def make_installer(mutants, row, folder):
    """The installer of one mutant: a patch packed as `selfpatch pack` does, or
    a payload container packed as it is."""
    source = mutants / row["file"]
    out = folder / "update.exe"
    if source.suffix == ".payload" or source.stat().st_size == 0:
        payload = folder / "update.payload"
        if source.suffix == ".payload":
            shutil.copyfile(source, payload)
        else:
            # The packer refuses an empty patch file: the container is written by hand.
            payload.write_bytes(kit.entry("arg00") + kit.entry("update.dif", data=b"", length=0))
        selfpatch_pack("--raw-payload", payload, "--switches= /s", "-o", out)
        return out
    copy = folder / "update.dif"
    shutil.copyfile(source, copy)
    selfpatch_pack(copy, "--silent", "--zopfli-iterations", "0", "-o", out)
    return out


def run_installer(installer, product):
    runwait = STRESS / "runwait.exe"
    env = dict(os.environ, WINEPATH=kit.to_windows(product))
    started = time.monotonic()
    result = subprocess.run(
        ["wine", kit.to_windows(runwait), "--timeout", str(TIME_LIMIT), kit.to_windows(installer)],
        capture_output=True, text=True, timeout=TIME_LIMIT + 60, env=env)
    seconds = time.monotonic() - started
    code = re.search(r"^exit=(\d+)", result.stdout, re.M)
    timed_out = "timeout=1" in result.stdout
    return (int(code.group(1)) if code else None), timed_out, seconds


def main():
    mutants = Path(sys.argv[1]).resolve()
    limit = int(sys.argv[2]) if len(sys.argv) > 2 else None
    rows = []
    for line in (mutants / "index.tsv").read_text().splitlines():
        ident, file, kind, base, verdict, refuse, description = line.split("\t")
        rows.append(dict(id=ident, file=file, kind=kind, base=base, verdict=verdict,
                         refuse=refuse == "1", description=description))
    rows = rows[:limit] if limit else rows
    versions = known_versions(mutants)

    shutil.rmtree(STRESS, ignore_errors=True)
    RUNS.mkdir(parents=True)
    shutil.copyfile(kit.RUNWAIT, STRESS / "runwait.exe")
    temp = kit.wine_temp()

    figures = collections.defaultdict(collections.Counter)
    codes = collections.Counter()
    problems = []
    total_seconds = 0.0
    started = time.monotonic()
    for row in rows:
        folder = RUNS / row["id"]
        product = folder / "product"
        shutil.copytree(mutants / "product", product)
        installer = make_installer(mutants, row, folder)
        product_before = digest(product)
        before = snapshot(kit.DRIVE_C, product)

        code, timed_out, seconds = run_installer(installer, product)
        total_seconds += seconds

        after = snapshot(kit.DRIVE_C, product)
        product_after = digest(product)
        label = f"{row['id']} {row['kind']} ({row['description']})"
        kind = figures[row["kind"]]
        kind["runs"] += 1
        codes[code] += 1
        if timed_out or code is None:
            problems.append(f"{label}: no exit code within {TIME_LIMIT} s")
            kind["hangs"] += 1
        elif code not in DOCUMENTED:
            problems.append(f"{label}: undocumented exit code {code}")
            kind["undocumented"] += 1

        # Changes outside the run's folder: only the unpack folder may come and go.
        changed = {p for p in set(before) | set(after) if before.get(p) != after.get(p)}
        unpack = {p for p in changed if kit.UNPACK_FOLDER.match(Path(p).parts[-1]) or
                  any(kit.UNPACK_FOLDER.match(part) for part in Path(p).parts)}
        outside = sorted(changed - unpack) + [f"Z:/{p.name}" for p in DRIVE_Z.iterdir()]
        if outside:
            problems.append(f"{label}: changed outside its folders: {outside[:5]}")
            kind["outside"] += 1
        left = [p for p in unpack if p in after]
        if left:
            problems.append(f"{label}: unpack folder left behind: {sorted(left)[:3]}")
            kind["left behind"] += 1
            for path in left:
                parts = Path(path).parts
                top = next(i for i, part in enumerate(parts) if kit.UNPACK_FOLDER.match(part))
                shutil.rmtree(kit.DRIVE_C.joinpath(*parts[:top + 1]), ignore_errors=True)

        touched = product_after != product_before
        if code in BEFORE_UPDATE and touched:
            problems.append(f"{label}: exit {code} but the product was changed")
            kind["touched early"] += 1
        expected = EXPECTED_FOR_REFUSAL.get(row["verdict"])
        if row["file"].endswith(".dif") and (mutants / row["file"]).stat().st_size == 0:
            expected = {101}  # an empty patch is packed as an entry without a file
        if expected is not None and code not in expected:
            problems.append(f"{label}: refused natively ({row['verdict']}) but exit {code}")
            kind["verdict differs"] += 1
        if row["refuse"] and code not in BEFORE_UPDATE:
            # Not refused up front: what it may not do is caught by the checks
            # of changes outside the product's folder.
            kind["name accepted"] += 1
        for name, sha in product_after.items():
            if name.endswith(".~up"):
                problems.append(f"{label}: {name} left behind")
            elif sha not in versions:
                problems.append(f"{label}: {name} holds content that is no known version")
                kind["unknown content"] += 1
        kind["updated" if code == 0 and touched else "untouched" if not touched else "changed"] += 1
        shutil.rmtree(folder, ignore_errors=True)

    elapsed = time.monotonic() - started
    print(f"{len(rows)} installer runs under Wine in {elapsed:.0f} s "
          f"({total_seconds / max(len(rows), 1):.2f} s per run in the installer)")
    print("exit codes: " + ", ".join(f"{c}: {n}" for c, n in sorted(codes.items(), key=lambda x: str(x[0]))))
    columns = ["runs", "hangs", "undocumented", "outside", "left behind", "touched early",
               "verdict differs", "unknown content", "name accepted", "updated", "untouched", "changed"]
    print(f"{'class':18}" + "".join(f"{c:>{len(c) + 2}}" for c in columns))
    for name, kind in sorted(figures.items()):
        print(f"{name:18}" + "".join(f"{kind[c]:>{len(c) + 2}}" for c in columns))
    for problem in problems:
        print("PROBLEM " + problem)
    print(f"{len(problems)} problems")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
