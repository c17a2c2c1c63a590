#!/usr/bin/env python3
"""The installer on a product of real size, run for real under Wine: the
oldest version installed into the prefix, the update run silently and once
more with its progress window, against a plain copy of the changed files.

    SP_WINE_LOADER=64 scripts/with-wine.sh /usr/bin/python3 bench/installer_scale.py \
        DIR [--installer DIR/update.exe] [--json FILE]

DIR        a product folder as bench/product_gen.py writes it: the versions'
           folders and DIR/product.toml, whose [folders] name the new version
           and the old ones (oldest first). The project must tell the installer
           where the product is: `install_folder_key` (a registry value) or
           `uninstall_keys` (an uninstall entry's InstallLocation) in [texts];
           the bench sets that value to the folder it installs into.
--installer
           the installer that `selfpatch build DIR/product.toml` made (default
           DIR/update.exe). Its payload is packed unchanged into the installer
           program of the Wine build under test (SP_WIN_BUILD: the 64-bit twin
           where 32-bit code is refused), once silent and once with its window.
--json     also writes the figures to FILE, for `make bench-scale`.

Prints, each measured in this run: the plain copy (xcopy of the files that
differ between the oldest version and the new one, into a fresh folder) and
the silent update, with their ratio (goal: at most 3); for reference, the copy
with its files flushed to disk as the installer flushes each file it writes,
and the time zlib takes natively to inflate the payload, which every run
unpacks before its first file; the progress texts of
the run with its window (counted by boxbot, which reads them through its hook)
and what they cost: that run's time less the silent run's, less the same
difference for a one-file update (the window, its two questions and boxbot's
start), over the texts beyond that update's; the old files in the
recycle bin after the silent run; and whether every file of the new version is
there with its bytes, checked by CRC-32. Exit code 0 when every file came out
new after both runs, 1 otherwise.
"""
import argparse
import json
import os
import shutil
import struct
import subprocess
import sys
import time
import tomllib
import zlib
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests" / "e2e"))

import kit  # noqa: E402  (needs WINEPREFIX and SP_WIN_BUILD: run inside with-wine.sh)
from boxes import run_with_boxes  # noqa: E402

WORK = kit.DRIVE_C / "spscale"
PRODUCT = WORK / "product"
UNINSTALL = r"HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall"
TIMEOUT = 3600
CALIBRATION_RUNS = 3
RT_RCDATA = 10
PAYLOAD_ID = 100


# --- the installer's payload -----------------------------------------------

def payload_of(installer):
    """The bytes of the language-neutral RT_RCDATA 100 resource of INSTALLER."""
    data = Path(installer).read_bytes()
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    sections, optional_size = struct.unpack_from("<H", data, pe + 6)[0], struct.unpack_from(
        "<H", data, pe + 20)[0]
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    directories = optional + (96 if magic == 0x10B else 112)
    resource_rva = struct.unpack_from("<I", data, directories + 2 * 8)[0]
    table = optional + optional_size
    spans = [struct.unpack_from("<IIII", data, table + 40 * i + 8) for i in range(sections)]

    def offset(rva):
        for virtual_size, address, raw_size, raw_offset in spans:
            if address <= rva < address + max(virtual_size, raw_size):
                return rva - address + raw_offset
        raise SystemExit(f"{installer}: RVA {rva:#x} outside every section")

    base = offset(resource_rva)

    def child(directory, wanted):
        named, ids = struct.unpack_from("<HH", data, base + directory + 12)
        for i in range(named + ids):
            name, target = struct.unpack_from("<II", data, base + directory + 16 + 8 * i)
            if wanted is None or name == wanted:
                return target & 0x7FFFFFFF
        raise SystemExit(f"{installer}: no payload resource")

    leaf = child(child(child(0, RT_RCDATA), PAYLOAD_ID), 0)
    rva, size = struct.unpack_from("<II", data, base + leaf)
    return data[offset(rva):offset(rva) + size]


def repack(installer, folder, prefix):
    """INSTALLER's payload in the installer program under test: (silent, windowed)."""
    raw = folder / (prefix + "payload.bin")
    raw.write_bytes(payload_of(installer))
    made = []
    for name, switches in (("silent.exe", " /s"), ("windowed.exe", None)):
        args = ["pack", "--raw-payload", raw, "--stub", kit.SFX, "-o", folder / (prefix + name)]
        if switches:
            args.append(f"--switches={switches}")
        kit.selfpatch(*args)
        made.append(folder / (prefix + name))
    raw.unlink()
    return made


CALIBRATION_OLD = b"one small file, old\r\n"


def calibration_installer(folder, texts):
    """An update of one small file of the product, whose installer finds the
    product as the measured one does: what a run costs besides its files."""
    for version, content in (("old", CALIBRATION_OLD), ("new", b"one small file, new\r\n")):
        (folder / version).mkdir(parents=True)
        (folder / version / "calibration.txt").write_bytes(content)
    where = {key: texts[key] for key in ("install_folder_key", "uninstall_keys") if key in texts}
    lines = "".join(f"{key} = '{value}'\n" for key, value in where.items())
    (folder / "calibration.toml").write_text(
        '[product]\nname = "Calibration"\nfrom = "1.0"\nto = "2.0"\n'
        '[folders]\nnew = "new"\nold = ["old"]\n[texts]\n' + lines)
    kit.selfpatch("build", folder / "calibration.toml", "-o", folder / "calibration.exe",
                  "--zopfli-iterations", "0")
    return folder / "calibration.exe"


# --- the product -----------------------------------------------------------

def project_folders(product_dir):
    project = tomllib.loads((product_dir / "product.toml").read_text())
    folders = project["folders"]
    texts = project.get("texts", {})
    return (product_dir / folders["old"][0], product_dir / folders["new"], texts)


def files_of(folder):
    return {str(p.relative_to(folder)): p for p in sorted(folder.rglob("*")) if p.is_file()}


def crc_of(path):
    crc = 0
    with open(path, "rb") as f:
        while block := f.read(1 << 23):
            crc = zlib.crc32(block, crc)
    return crc


def changed_files(oldest, new):
    """Names of the new version's files that the oldest version lacks or holds
    with other bytes."""
    old_files = files_of(oldest)
    changed = []
    for name, path in files_of(new).items():
        old = old_files.get(name)
        if (old is None or old.stat().st_size != path.stat().st_size or
                crc_of(old) != crc_of(path)):
            changed.append(name)
    return changed


def point_installer_at_product(texts):
    """Sets the registry value the project's texts name to the product folder.
    Returns the environment of the runs."""
    folder = kit.to_windows(PRODUCT)
    if texts.get("install_folder_key"):
        key, _, value = texts["install_folder_key"].rpartition("\\")
        kit.reg("add", "HKLM\\" + key, "/v", value, "/t", "REG_SZ", "/d", folder)
    elif texts.get("uninstall_keys"):
        entry = texts["uninstall_keys"].split(";")[0]
        kit.reg("add", UNINSTALL + "\\" + entry, "/v", "InstallLocation", "/t", "REG_SZ",
                "/d", folder + "\\")
    else:
        # The search path would do only where a file that 1.0 has comes first:
        # a new file before it would find no folder to go into.
        raise SystemExit("product.toml names neither install_folder_key nor uninstall_keys "
                         "in [texts]: the installer could not find the product")
    return {}


def trash():
    return Path(os.environ["XDG_DATA_HOME"]) / "Trash"


def install(oldest):
    """The oldest version, freshly copied into the prefix, and an empty recycle bin."""
    shutil.rmtree(PRODUCT, ignore_errors=True)
    shutil.copytree(oldest, PRODUCT)
    shutil.rmtree(trash(), ignore_errors=True)


def not_new(new):
    """Names of the new version's files that the product lacks or holds with other bytes."""
    wrong = []
    for name, path in files_of(new).items():
        there = PRODUCT / name
        if (not there.is_file() or there.stat().st_size != path.stat().st_size or
                crc_of(there) != crc_of(path)):
            wrong.append(name)
    return wrong


def recycled_count():
    files = trash() / "files"
    return sum(1 for _ in files.iterdir()) if files.is_dir() else 0


# --- the runs --------------------------------------------------------------

def timed(action):
    start = time.monotonic()
    result = action()
    return result, time.monotonic() - start


def payload_inflate_seconds(installer):
    """Seconds that zlib takes here, natively, to inflate the installer's
    payload entries: the unpacking every run does before its first file."""
    seconds = 0.0
    for _, data in kit.payload_entries(payload_of(installer)):
        if data:
            start = time.monotonic()
            zlib.decompress(data)
            seconds += time.monotonic() - start
    return seconds


def plain_copy(new, changed):
    """Seconds that xcopy under the same Wine takes to copy the changed files,
    and that plus flushing the copies to disk (the installer flushes every
    file it writes before it puts the file in place)."""
    source, target = WORK / "copy-source", WORK / "copy-target"
    for folder in (source, target):
        shutil.rmtree(folder, ignore_errors=True)
    for name in changed:
        (source / name).parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(new / name, source / name)
    command = ["wine", "xcopy", kit.to_windows(source), kit.to_windows(target) + "\\",
               "/E", "/I", "/Y", "/Q"]
    subprocess.run(["sync"], check=True)  # the sources' writes are not the copy's
    result, seconds = timed(lambda: subprocess.run(command, capture_output=True, timeout=TIMEOUT))
    _, flush_seconds = timed(lambda: subprocess.run(["sync", "-f", str(target)], check=True))
    copied = files_of(target) if target.is_dir() else {}
    if result.returncode != 0 or len(copied) != len(changed):
        raise SystemExit(f"xcopy failed ({result.returncode}), {len(copied)} of {len(changed)} "
                         f"files copied: {result.stdout[-500:]!r}")
    shutil.rmtree(source)
    shutil.rmtree(target)
    return seconds, seconds + flush_seconds


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("dir", type=Path)
    parser.add_argument("--installer", type=Path)
    parser.add_argument("--json", type=Path)
    args = parser.parse_args()
    sys.stdout.reconfigure(line_buffering=True)
    product_dir = args.dir.resolve()
    installer = (args.installer or product_dir / "update.exe").resolve()
    oldest, new, texts = project_folders(product_dir)
    shutil.rmtree(WORK, ignore_errors=True)
    WORK.mkdir(parents=True)
    silent, windowed = repack(installer, WORK, "")
    calibration = repack(calibration_installer(WORK / "calibration", texts), WORK, "calibration-")
    env = point_installer_at_product(texts)
    changed = changed_files(oldest, new)
    changed_bytes = sum((new / name).stat().st_size for name in changed)

    copy_seconds, flushed_copy_seconds = plain_copy(new, changed)
    inflate_seconds = payload_inflate_seconds(installer)

    install(oldest)
    code, silent_seconds = timed(lambda: kit.run(silent, env=env, timeout=TIMEOUT).code)
    silent_wrong = not_new(new)
    recycled = recycled_count()

    install(oldest)
    run, window_seconds = timed(lambda: run_with_boxes(windowed, script=["Yes", "OK"],
                                                       env=env, timeout=TIMEOUT))
    window_wrong = not_new(new)
    texts_shown = len(run.progress)

    # The same two runs of a one-file update: the window, its two questions and
    # boxbot cost this much whatever the update holds.
    # Each the quickest of three, as these runs are short and the machine's load is not.
    def fresh(run):
        (PRODUCT / "calibration.txt").write_bytes(CALIBRATION_OLD)
        return timed(run)
    small_silent = min(fresh(lambda: kit.run(calibration[0], env=env, timeout=TIMEOUT))[1]
                       for _ in range(CALIBRATION_RUNS))
    small_windows = [fresh(lambda: run_with_boxes(calibration[1], script=["Yes", "OK"],
                                                  env=env, timeout=TIMEOUT))
                     for _ in range(CALIBRATION_RUNS)]
    small_run, small_window = min(small_windows, key=lambda pair: pair[1])
    text_seconds = (window_seconds - silent_seconds) - (small_window - small_silent)
    extra_texts = texts_shown - len(small_run.progress)

    figures = {
        "installer": str(installer), "installer_bytes": installer.stat().st_size,
        "oldest": oldest.name, "new": new.name, "new_files": len(files_of(new)),
        "changed_files": len(changed), "changed_bytes": changed_bytes,
        "copy_seconds": copy_seconds, "flushed_copy_seconds": flushed_copy_seconds,
        "payload_inflate_seconds": inflate_seconds, "silent_seconds": silent_seconds,
        "silent_exit": code, "ratio": silent_seconds / copy_seconds,
        "window_seconds": window_seconds, "window_exit": run.exit_code,
        "progress_texts": texts_shown, "progress_seconds": window_seconds - silent_seconds,
        "progress_seconds_beyond_a_one_file_update": text_seconds,
        "one_file_silent_seconds": small_silent,
        "recycled": recycled, "not_new_silent": silent_wrong, "not_new_window": window_wrong,
    }
    print(f"installer {installer.name}: {figures['installer_bytes']} bytes, run as "
          f"{kit.SFX.parent.parent.name}; {oldest.name} -> {new.name}: "
          f"{len(changed)} of {figures['new_files']} files change, {changed_bytes} bytes")
    print(f"{'run':<34} {'seconds':>8} {'exit':>5} {'vs copy':>8}")
    print(f"{'plain copy of the changed files':<34} {copy_seconds:>8.1f} {'0':>5} {1:>8.2f}")
    print(f"{'plain copy, flushed to disk':<34} {flushed_copy_seconds:>8.1f} {'0':>5} "
          f"{flushed_copy_seconds / copy_seconds:>8.2f}")
    print(f"{'payload inflated (zlib, natively)':<34} {inflate_seconds:>8.1f} {'':>5} "
          f"{inflate_seconds / copy_seconds:>8.2f}  (part of every run)")
    print(f"{'update, silent':<34} {silent_seconds:>8.1f} {code:>5} "
          f"{figures['ratio']:>8.2f}  (goal <= 3)")
    print(f"{'update, with its window':<34} {window_seconds:>8.1f} {run.exit_code:>5} "
          f"{window_seconds / copy_seconds:>8.2f}")
    print(f"{'one-file update, silent':<34} {small_silent:>8.1f} {'0':>5} "
          f"{small_silent / copy_seconds:>8.2f}  (start, unpack, clean-up)")
    print(f"progress texts shown: {texts_shown}; the run with its window takes "
          f"{figures['progress_seconds']:.1f} s longer than the silent one, "
          f"{text_seconds:.1f} s more than that of a one-file update "
          f"({1000 * text_seconds / max(extra_texts, 1):.1f} ms for each of its "
          f"{extra_texts} texts more)")
    print(f"old files in the recycle bin: {recycled}")
    for label, wrong in (("silent", silent_wrong), ("with its window", window_wrong)):
        print(f"every file new after the {label} run: " +
              ("yes" if not wrong else f"NO, {len(wrong)}: {', '.join(wrong[:10])}"))
    if args.json:
        args.json.write_text(json.dumps(figures, indent=2))
    shutil.rmtree(WORK, ignore_errors=True)
    ok = code == 0 and run.exit_code == 0 and not silent_wrong and not window_wrong
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
