#!/usr/bin/env python3
"""Updates a small sample product for real, inside the Wine prefix, the way
its author would make the update.

Lays out three versions of the product's files in folders, writes a project
file naming them, has `selfpatch build` make the installer (deltas chained
1.0 -> 2.0 -> 3.0, full contents as fallback, a file that 3.0 adds, a
follow-up program), shows its records with `selfpatch inspect`, checks it
against the old folders with `selfpatch verify`, then installs version 1.0
into the prefix, runs the installer and shows what changed.

Run inside scripts/with-wine.sh (make demo does that).
"""
import os
import random
import re
import shutil
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
BUILD = ROOT / "build"
TOOL = BUILD / "native" / "bin" / "selfpatch"
WINBIN = Path(os.environ.get("SP_WIN_BUILD", BUILD / "win")) / "bin"
# Another installer program to build with (the 64-bit test twin), else the tool's own.
STUB_ARGS = ["--stub", os.environ["SP_DEMO_STUB"]] if os.environ.get("SP_DEMO_STUB") else []
WORK = BUILD / "demo-update"
PREFIX = Path(os.environ.get("WINEPREFIX", BUILD / "wpfx"))
PRODUCT_DIR_WIN = r"C:\Program Files\Selfpatch Demo"
PRODUCT_DIR = PREFIX / "drive_c" / "Program Files" / "Selfpatch Demo"
REG_KEY = r"HKLM\SOFTWARE\SelfpatchDemo\Product"
STAMP_FILETIME = 133000000000000000  # the release date of 3.0, as a FILETIME
STAMP_UNIX = STAMP_FILETIME // 10_000_000 - 11644473600


def crc32_bzip2(data: bytes) -> int:
    crc = 0xFFFFFFFF
    for b in data:
        crc ^= b << 24
        for _ in range(8):
            crc = ((crc << 1) ^ 0x04C11DB7) if crc & 0x80000000 else crc << 1
            crc &= 0xFFFFFFFF
    return crc ^ 0xFFFFFFFF


def make_versions():
    """Three versions of the product, each a dict of relative path -> bytes."""
    rng = random.Random(1234)
    app1 = bytes(rng.getrandbits(8) for _ in range(48 * 1024))
    app2 = bytearray(app1)
    for at in range(4000, 48 * 1024, 6000):  # a recompiled program: scattered edits
        app2[at:at + 16] = bytes((x + 3) & 0xFF for x in app2[at:at + 16])
    app2 = bytes(app2[:20000]) + b"new function in 2.0" * 20 + bytes(app2[20000:])
    app3 = bytearray(app2)
    app3[100:200] = bytes(rng.getrandbits(8) for _ in range(100))
    app3 = bytes(app3) + b"\x00version 3.0 resources" * 30

    core1 = b"".join(b"core routine %05d\r\n" % i for i in range(1500))
    core2 = core1.replace(b"routine 00042", b"ROUTINE 00042") + b"added in 2.0\r\n"
    core3 = core2.replace(b"routine 01000", b"fixed   01000") + b"added in 3.0\r\n"

    readme = {v: ("Selfpatch Demo %s\r\n\r\nRelease notes for version %s.\r\n" % (v, v)).encode()
              for v in ("1.0", "2.0", "3.0")}
    return {
        "1.0": {"app.exe": app1, "data\\core.dll": core1, "readme.txt": readme["1.0"]},
        "2.0": {"app.exe": app2, "data\\core.dll": core2, "readme.txt": readme["2.0"]},
        "3.0": {"app.exe": app3, "data\\core.dll": core3, "readme.txt": readme["3.0"],
                "plugins.dat": b"plugin table of version 3.0\r\n" * 40},
    }


def write_versions(versions, folder=WORK):
    """Each version in a folder of its own inside FOLDER, as it is installed; the
    files of 3.0 carry its release date, which the patch passes on to the
    updated files."""
    for version, files in versions.items():
        for name, content in files.items():
            path = folder / version / name.replace("\\", "/")
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_bytes(content)
            if version == "3.0":
                os.utime(path, (STAMP_UNIX, STAMP_UNIX))


PROJECT = r"""# The update of Selfpatch Demo to 3.0, from either earlier version.
[product]
name = "Selfpatch Demo"
from = "1.0"
to = "3.0"
language = "en"

[folders]
new = "3.0"
old = ["1.0", "2.0"]    # oldest first: deltas may chain 1.0 -> 2.0 -> 3.0

[texts]
install_folder_key = 'SOFTWARE\SelfpatchDemo\Product\InstallDir'
caption = "%s %s update"

[pack]
run = ["after-update.exe"]
silent = true
"""


def show_command(*args):
    print("\n$ selfpatch " + " ".join(args))


def selfpatch(*args, capture=False):
    """Runs the author's tool in the work folder; stops the demo if it fails."""
    if not capture:
        show_command(*args)
    result = subprocess.run([str(TOOL), *args], cwd=WORK, text=True,
                            stdout=subprocess.PIPE if capture else None)
    if result.returncode != 0:
        print("selfpatch %s failed with exit code %d" % (args[0], result.returncode))
        sys.exit(1)
    return result.stdout


def show_records(installer):
    """The installer as `selfpatch inspect` sees it, without its list of texts."""
    show_command("inspect", "--codepage", "1252", installer, "  (texts left out)")
    listing = selfpatch("inspect", "--codepage", "1252", installer, capture=True)
    in_texts = False
    for line in listing.splitlines():
        if line.startswith("texts ("):
            in_texts = True
        elif not line.startswith(" "):
            in_texts = False
        if not in_texts:
            print(line)


def run(*args, **kwargs):
    return subprocess.run([str(a) for a in args], check=True, **kwargs)


TRASH = Path(os.environ.get("XDG_DATA_HOME", Path.home() / ".local/share")) / "Trash"


def install_version_1(versions):
    shutil.rmtree(PRODUCT_DIR, ignore_errors=True)
    # Old files of earlier demo runs out of the recycle bin, so it shows this run's.
    for name in versions["1.0"]:
        base = Path(name.replace("\\", "/")).name
        for stored in list((TRASH / "files").glob(base + "*")):
            stored.unlink()
            (TRASH / "info" / (stored.name + ".trashinfo")).unlink(missing_ok=True)
    for name, content in versions["1.0"].items():
        path = PRODUCT_DIR / name.replace("\\", "/")
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(content)
    # /reg:32: the view of 32-bit programs, where the installer reads.
    run("wine", "reg", "add", REG_KEY, "/v", "InstallDir", "/t", "REG_SZ", "/d", PRODUCT_DIR_WIN,
        "/reg:32", "/f", stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def snapshot():
    files = {}
    for path in sorted(PRODUCT_DIR.rglob("*")):
        if path.is_file():
            files[str(path.relative_to(PRODUCT_DIR)).replace("/", "\\")] = path.read_bytes()
    return files


def version_of(content, versions, name):
    for version in ("1.0", "2.0", "3.0"):
        if versions[version].get(name) == content:
            return version
    return "unknown"


def main():
    sys.stdout.reconfigure(line_buffering=True)  # in order with the tools' output
    shutil.rmtree(WORK, ignore_errors=True)
    WORK.mkdir(parents=True)
    versions = make_versions()
    write_versions(versions)
    shutil.copy(WINBIN / "recorder.exe", WORK / "after-update.exe")
    (WORK / "demo.toml").write_text(PROJECT)
    print("Versions 1.0, 2.0 and 3.0 in %s, and the project file demo.toml:\n" % WORK)
    print("\n".join("  " + line for line in PROJECT.splitlines()))

    selfpatch("build", "demo.toml", "-o", "demo-update.exe", *STUB_ARGS)
    show_records("demo-update.exe")
    selfpatch("verify", "demo-update.exe", "--from", "1.0", "--from", "2.0")

    install_version_1(versions)
    before = snapshot()
    print("\nInstalled Selfpatch Demo 1.0 in %s; running demo-update.exe" % PRODUCT_DIR_WIN)

    installer = "Z:" + str(WORK / "demo-update.exe").replace("/", "\\")
    env = dict(os.environ, SELFPATCH_RECORD_DIR="Z:" + str(WORK).replace("/", "\\"))
    result = subprocess.run(["wine", str(WINBIN / "runwait.exe"), installer],
                            capture_output=True, text=True, cwd=WORK, env=env)
    found = re.search(r"^exit=(\d+)", result.stdout, re.M)
    code = int(found.group(1)) if found else -1
    after = snapshot()

    print("\nInstaller exit code: %d (%s)" % (code, "updated" if code == 0 else "see the exit codes"))
    print("\n%-16s %-10s %-10s %-8s %s" % ("file", "before", "after", "CRC ok", "bytes"))
    ok = code == 0
    for name in sorted(set(before) | set(after)):
        old = before.get(name)
        new = after.get(name)
        was = version_of(old, versions, name) if old is not None else "-"
        now = version_of(new, versions, name) if new is not None else "-"
        crc_ok = new is not None and crc32_bzip2(new) == crc32_bzip2(versions["3.0"].get(name, b""))
        ok = ok and now == "3.0" and crc_ok
        print("%-16s %-10s %-10s %-8s %s -> %s" % (name, was, now, "yes" if crc_ok else "NO",
                                                   len(old) if old is not None else "-",
                                                   len(new) if new is not None else "-"))
    stamp_ok = all(abs((PRODUCT_DIR / n.replace("\\", "/")).stat().st_mtime - STAMP_UNIX) < 2
                   for n in after)
    print("\nLast-write time of every file: the release date of 3.0 (%s)" %
          ("yes" if stamp_ok else "NO"))
    recycled = sorted(p.name for p in (TRASH / "files").glob("*") if p.name.split("-")[0] in
                      {Path(n.replace("\\", "/")).name for n in before})
    print("Old files in the recycle bin: %s" % (", ".join(recycled) or "none"))
    followed = (WORK / "after-update.log").is_file()
    print("Follow-up program after-update.exe ran: %s" % ("yes" if followed else "NO"))
    ok = ok and stamp_ok and followed
    leftovers = [n for n in after if n.endswith(".~up")]
    if leftovers:
        ok = False
        print("left over: %s" % ", ".join(leftovers))
    print("\nDemo product %s" % ("updated from 1.0 to 3.0" if ok else "NOT fully updated"))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
