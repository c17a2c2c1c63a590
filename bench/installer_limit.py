#!/usr/bin/env python3
"""The largest patch that the installer carries and applies: installers of
growing size, each run for real under Wine, until the first one that fails.

    SP_WINE_LOADER=emulated scripts/with-wine.sh /usr/bin/python3 bench/installer_limit.py \
        [--sizes 256,512,768] [--file-mb 64] [--stub build/win/bin/selfpatch-sfx.exe] \
        [--killpoints-stub build/win/bin/selfpatch-sfx-killpoints.exe] [--compressible] \
        [--work DIR]

Each patch holds only full-content records of incompressible files (--file-mb
each, new in the update), so the packed payload weighs as much as the patch:
the worst case for the installer's address space, which holds its own image
with the payload, the patch mapped whole and each file it writes.
--compressible makes files that pack to almost nothing, to see the patch
alone. The patch is written record by record (`selfpatch assemble`) and packed
with `selfpatch pack`, which only warns where `make` and `build` refuse, so
sizes beyond the limit can be measured. Every run is silent; its files are compared
with the update's. At the first failure the same installer is packed into the
kill-point build and run again with SP_MESSAGE_LOG, to show the message the
user would have seen. Prints one line per size and exits 0 when it found the
first failing size (or every size passed), 1 on an error of the bench itself.
"""
import argparse
import json
import os
import random
import shutil
import subprocess
import sys
import time
import zlib
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
TOOL = ROOT / "build" / "native" / "bin" / "selfpatch"
WIN_BIN = Path(os.environ.get("SP_WIN_BUILD", ROOT / "build" / "win")) / "bin"
PREFIX = Path(os.environ["WINEPREFIX"]) if "WINEPREFIX" in os.environ else None
REG_KEY = r"HKLM\SOFTWARE\SelfpatchLimitBench"
MB = 1 << 20
# The built-in English texts of the messages a failing run can show (a patch
# written record by record holds only the texts it is given).
ERROR_TEXTS = {
    "23": "File not found (%s)",
    "26": "The file cannot be opened:\n%s\n(error %lu)",
    "27": "The file cannot be read:\n%s\n(error %lu)",
    "28": "The temporary file cannot be created:\n%s",
    "29": "Updating the file failed:\n%s",
    "32": "The update data is damaged:\n%s",
}


def windows_path(path):
    """The Windows path of a Unix path: C:\\ inside the prefix, else Z:\\."""
    path = Path(path).resolve()
    drive_c = (PREFIX / "drive_c").resolve()
    try:
        return "C:\\" + str(path.relative_to(drive_c)).replace("/", "\\")
    except ValueError:
        return "Z:" + str(path).replace("/", "\\")


def tool(*args):
    result = subprocess.run([str(TOOL), *map(str, args)], capture_output=True, text=True)
    if result.returncode != 0:
        raise SystemExit(f"selfpatch {args[0]} failed ({result.returncode}): {result.stderr}")


def chunk_content(index, size, compressible):
    if compressible:  # packs to about a thousandth: a payload far smaller than its patch
        return (b"file %d " % index).ljust(64, b".") * (size // 64)
    piece = 64 * MB  # randbytes takes at most 256 MiB at once
    generator = random.Random(index)
    return b"".join(generator.randbytes(min(piece, size - at)) for at in range(0, size, piece))


def chunk_pool(work, count, file_mb, compressible):
    """COUNT files of FILE_MB MiB each, made once from a fixed seed."""
    pool = work / f"pool-{file_mb}{'-compressible' if compressible else ''}"
    pool.mkdir(parents=True, exist_ok=True)
    chunks = []
    for index in range(count):
        path = pool / f"part{index:03d}.bin"
        if not path.exists() or path.stat().st_size != file_mb * MB:
            path.write_bytes(chunk_content(index, file_mb * MB, compressible))
        chunks.append(path)
    return chunks


def make_installer(folder, chunks, stub):
    """The patch of CHUNKS (full contents, created in the product folder) packed
    into STUB; returns (patch bytes, installer path)."""
    description = {
        "texts": dict(ERROR_TEXTS, **{"0": "Limit bench", "1": "1.0", "2": "2.0",
                                      "9": REG_KEY[5:] + "\\Folder"}),
        "records": [{"name": chunk.name, "content": {"file": str(chunk)}} for chunk in chunks],
    }
    source = folder / "update.json"
    source.write_text(json.dumps(description))
    patch = folder / "update.dif"
    tool("assemble", source, "-o", patch)
    installer = folder / (Path(stub).stem + ".exe")
    tool("pack", patch, "--stub", stub, "--silent", "--zopfli-iterations", "0", "-o", installer)
    return patch.stat().st_size, installer


def install_product(product):
    shutil.rmtree(product, ignore_errors=True)
    product.mkdir(parents=True)
    subprocess.run(["wine", "reg", "add", REG_KEY, "/v", "Folder", "/t", "REG_SZ", "/d",
                    windows_path(product), "/reg:32", "/f"], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def run_installer(installer, env=None, timeout=3600):
    """Runs INSTALLER through runwait; returns (exit code or None, seconds)."""
    start = time.monotonic()
    result = subprocess.run(["wine", str(WIN_BIN / "runwait.exe"), windows_path(installer)],
                            capture_output=True, text=True, timeout=timeout,
                            env=dict(os.environ, **(env or {})))
    seconds = time.monotonic() - start
    for line in result.stdout.splitlines():
        if line.startswith("exit="):
            return int(line[5:]), seconds
    return None, seconds


def crc_of(path):
    crc = 0
    with open(path, "rb") as f:
        while block := f.read(8 * MB):
            crc = zlib.crc32(block, crc)
    return crc


def files_are_new(product, chunks):
    return all((product / c.name).is_file() and crc_of(product / c.name) == crc_of(c)
               for c in chunks)


def failure_messages(folder, patch_chunks, killpoints_stub, product):
    """What a run of the kill-point build with the same patch tells the user."""
    _, installer = make_installer(folder, patch_chunks, killpoints_stub)
    install_product(product)
    log = folder / "messages.txt"
    log.unlink(missing_ok=True)
    code, _ = run_installer(installer, {"SP_MESSAGE_LOG": windows_path(log)})
    installer.unlink()
    messages = log.read_text(errors="replace").strip() if log.exists() else "(none)"
    return code, messages


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", default="256,512,768,1024,1280,1536",
                        help="patch sizes to try, in MiB, ascending")
    parser.add_argument("--file-mb", type=int, default=64, help="MiB per file of the patch")
    parser.add_argument("--compressible", action="store_true",
                        help="files that pack to almost nothing: the patch alone against the limit")
    parser.add_argument("--stub", default=str(ROOT / "build" / "win" / "bin" / "selfpatch-sfx.exe"))
    parser.add_argument("--killpoints-stub",
                        default=str(ROOT / "build" / "win" / "bin" / "selfpatch-sfx-killpoints.exe"))
    parser.add_argument("--work", default=None, help="work folder (default: inside the prefix)")
    args = parser.parse_args()
    if PREFIX is None:
        raise SystemExit("run inside scripts/with-wine.sh")
    sys.stdout.reconfigure(line_buffering=True)
    sizes = [int(s) for s in args.sizes.split(",")]
    work = Path(args.work) if args.work else PREFIX / "drive_c" / "splimit"
    product = work / "product"
    chunks = chunk_pool(work, -(-max(sizes) // args.file_mb), args.file_mb, args.compressible)

    kind = "compressible" if args.compressible else "incompressible"
    print(f"installer: {args.stub}; files of {args.file_mb} MiB, {kind}, full content")
    print(f"{'patch MiB':>9} {'patch bytes':>12} {'installer bytes':>15} {'exit':>5} "
          f"{'files new':>9} {'seconds':>8}")
    for size in sizes:
        folder = work / f"size-{size}"
        shutil.rmtree(folder, ignore_errors=True)
        folder.mkdir(parents=True)
        used = chunks[:-(-size // args.file_mb)]
        patch_bytes, installer = make_installer(folder, used, args.stub)
        install_product(product)
        code, seconds = run_installer(installer)
        new = files_are_new(product, used)
        print(f"{size:>9} {patch_bytes:>12} {installer.stat().st_size:>15} {code!s:>5} "
              f"{'yes' if new else 'NO':>9} {seconds:>8.1f}")
        installer.unlink()
        shutil.rmtree(product, ignore_errors=True)
        if code != 0 or not new:
            code, messages = failure_messages(folder, used, args.killpoints_stub, product)
            print(f"first failure at {size} MiB; the kill-point build ends with {code} and shows:")
            print("\n".join("  " + line for line in messages.splitlines()))
            shutil.rmtree(product, ignore_errors=True)
            shutil.rmtree(folder, ignore_errors=True)
            return 0
        shutil.rmtree(folder, ignore_errors=True)
    print("every size passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
