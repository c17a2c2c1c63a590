#!/usr/bin/env python3
"""Generates a product of real size in three versions, for `make bench-scale`.

    product_gen.py OUT [--seed N] [--files N] [--megabytes N]

writes OUT/1.0, OUT/2.0 and OUT/3.0 (each about --files files and --megabytes
MB in nested folders) and OUT/product.toml, a project file that updates 1.0 and
2.0 to 3.0 (full contents only for the files an old version lacks). The same arguments give the same bytes; a finished product is kept
(OUT/generated holds its arguments) and made again only when they change.

What changes between versions, as in a desktop product's releases:
  - executables and DLLs: real Windows binaries in three released versions,
    fetched from npm packages (bench/cache/tarballs); a third of them change
    only in 3.0. Each copy carries its own trailing block (a signature's
    place), so no two copies are alike;
  - data files with small edits (lines replaced, lines inserted);
  - files new in 2.0 and in 3.0, files dropped after 1.0 and after 2.0;
  - everything else unchanged, as hard links to one copy (unchanged files
    cost the tool a read and a hash, whatever their bytes).
"""
import argparse
import json
import os
import random
import shutil
import subprocess
import sys
import tarfile

HERE = os.path.dirname(os.path.abspath(__file__))
TARBALLS = os.path.join(HERE, "cache", "tarballs")
VERSIONS = ["1.0", "2.0", "3.0"]

# package, its three versions (oldest first), the binary inside the package
BINARIES = [
    ("@esbuild/win32-x64", ["0.24.0", "0.24.1", "0.24.2"], "package/esbuild.exe"),
    ("@esbuild/win32-ia32", ["0.19.0", "0.20.0", "0.21.0"], "package/esbuild.exe"),
    ("@rollup/rollup-win32-x64-msvc", ["4.24.0", "4.24.2", "4.24.3"],
     "package/rollup.win32-x64-msvc.node"),
    ("@rollup/rollup-win32-ia32-msvc", ["4.9.0", "4.14.0", "4.20.0"],
     "package/rollup.win32-ia32-msvc.node"),
    ("lightningcss-win32-x64-msvc", ["1.28.1", "1.28.2", "1.29.0"],
     "package/lightningcss.win32-x64-msvc.node"),
    ("@tailwindcss/oxide-win32-x64-msvc", ["4.0.0", "4.0.1", "4.0.2"],
     "package/tailwindcss-oxide.win32-x64-msvc.node"),
    ("@img/sharp-win32-x64", ["0.33.0", "0.34.0", "0.35.0"], "package/lib/libvips-42.dll"),
]

# Per 3,000 files; a smaller product gets fewer of each, at least one.
CHANGED_BINARIES = 44
EDITED_DATA = 40
NEW_IN_LATER = 20     # half new in 2.0, half in 3.0
DROPPED = 15          # two in three only in 1.0, the others in 1.0 and 2.0

WORDS = ("the of and to in is for on with as by at from this that file data level map sound "
         "texture model config value name width height color player enemy item quest dialog "
         "option menu window button").split()


def fetch(package, version, member):
    """The bytes of MEMBER in PACKAGE@VERSION, its tarball cached."""
    os.makedirs(TARBALLS, exist_ok=True)
    base = package.lstrip("@").replace("/", "-") + "-" + version + ".tgz"
    path = os.path.join(TARBALLS, base)
    if not os.path.exists(path):
        result = subprocess.run(["npm", "pack", "--silent", package + "@" + version],
                                cwd=TARBALLS, capture_output=True, text=True)
        if result.returncode != 0 or not os.path.exists(path):
            sys.exit("cannot fetch %s@%s: %s" % (package, version, result.stderr.strip()))
    with tarfile.open(path) as tar:
        return tar.extractfile(member).read()


class Writer:
    def __init__(self, out):
        self.out = out
        self.store = os.path.join(out, "store")

    def put(self, version, relative, data):
        path = os.path.join(self.out, version, relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)

    def put_unchanged(self, relative, data, versions):
        """One copy in the store, hard links in each version."""
        stored = os.path.join(self.store, relative)
        os.makedirs(os.path.dirname(stored), exist_ok=True)
        with open(stored, "wb") as f:
            f.write(data)
        for version in versions:
            path = os.path.join(self.out, version, relative)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            os.link(stored, path)


def text_pool(rng, size):
    lines = []
    total = 0
    while total < size:
        line = "%s = %d %s\n" % (rng.choice(WORDS), rng.randrange(100000),
                                 " ".join(rng.choice(WORDS) for _ in range(rng.randrange(2, 12))))
        lines.append(line)
        total += len(line)
    return "".join(lines).encode()


def text_content(rng, pool, size):
    parts = []
    while size > 0:
        take = min(size, rng.randrange(4096, 65536))
        start = rng.randrange(0, len(pool) - take)
        parts.append(pool[start:start + take])
        size -= take
    return b"".join(parts)


def content(rng, pool, size):
    """Half of the files text-like (compressible), half binary."""
    return text_content(rng, pool, size) if rng.random() < 0.5 else rng.randbytes(size)


def edited(rng, pool, data):
    """DATA with a few lines replaced and a few inserted, as a data release does."""
    data = bytearray(data)
    for _ in range(rng.randrange(2, 8)):
        at = rng.randrange(len(data))
        length = rng.randrange(16, 400)
        data[at:at + length] = text_content(rng, pool, rng.randrange(16, 400))
    return bytes(data)


def folder_names(rng, count):
    tops = ["bin", "data", "res", "plugins", "lang", "docs"]
    folders = []
    for i in range(count):
        depth = rng.randrange(1, 4)
        parts = [rng.choice(tops)] + ["%s%02d" % (rng.choice(WORDS), rng.randrange(100))
                                       for _ in range(depth)]
        folders.append("/".join(parts))
    return sorted(set(folders))


def file_sizes(rng, count, total):
    """COUNT sizes, spread log-uniformly from 1 KB to 4 MB, scaled to TOTAL bytes."""
    raw = [2 ** rng.uniform(10, 22) for _ in range(count)]
    scale = total / sum(raw)
    return [max(64, int(size * scale)) for size in raw]


def binary_versions(rng, triplet):
    """The three contents of one changed binary: released versions, each with
    its own trailing block; a third of them change only in 3.0."""
    only_last = rng.random() < 1 / 3
    chosen = [triplet[0], triplet[0], triplet[2]] if only_last else triplet
    tails = [rng.randbytes(4096) for _ in VERSIONS]
    if only_last:
        tails[1] = tails[0]
    return [chosen[v] + tails[v] for v in range(3)]


def share(count, files):
    return max(1, round(count * files / 3000))


def generate(out, seed, files, megabytes):
    rng = random.Random(seed)
    pool = text_pool(rng, 4 << 20)
    writer = Writer(out)
    folders = folder_names(rng, max(8, files // 12))
    used = set()

    def new_name(extension, folder=None):
        while True:
            where = folder or rng.choice(folders)
            name = "%s/%s_%04d%s" % (where, rng.choice(WORDS), rng.randrange(10000), extension)
            if name.lower() not in used:
                used.add(name.lower())
                return name

    triplets = [[fetch(package, version, member) for version in versions]
                for package, versions, member in BINARIES]
    binary_bytes = 0
    for i in range(share(CHANGED_BINARIES, files)):
        triplet = triplets[i % len(triplets)]
        name = new_name(".dll" if i % 3 else ".exe", "bin" if i < 8 else None)
        for version, data in zip(VERSIONS, binary_versions(rng, triplet)):
            writer.put(version, name, data)
        binary_bytes += len(triplet[2])

    data_total = 0
    for _ in range(share(EDITED_DATA, files)):
        name = new_name(".cfg")
        data = text_content(rng, pool, rng.randrange(100 << 10, 3 << 20))
        for version in VERSIONS:
            writer.put(version, name, data)
            data = edited(rng, pool, data)
        data_total += len(data)

    created = []
    for i in range(share(NEW_IN_LATER, files)):
        name = new_name(".dat")
        created.append(name)
        data = content(rng, pool, rng.randrange(10 << 10, 1 << 20))
        writer.put_unchanged(name, data, VERSIONS[1:] if i % 2 == 0 else VERSIONS[2:])

    dropped = share(DROPPED, files)
    for i in range(dropped):
        name = new_name(".old")
        data = content(rng, pool, rng.randrange(10 << 10, 1 << 20))
        writer.put_unchanged(name, data, VERSIONS[:1] if 3 * i < 2 * dropped else VERSIONS[:2])

    remaining = files - sum(share(count, files) for count in (CHANGED_BINARIES, EDITED_DATA, NEW_IN_LATER))
    left_bytes = max(megabytes * 1000000 - binary_bytes - data_total, remaining * 1024)
    for size in file_sizes(rng, remaining, left_bytes):
        writer.put_unchanged(new_name(rng.choice([".dat", ".pak", ".txt", ".png", ".bin"])),
                             content(rng, pool, size), VERSIONS)
    for version in VERSIONS:  # every folder in every version, as an installation has them
        for folder in folders:
            os.makedirs(os.path.join(out, version, folder), exist_ok=True)

    # Full contents of every changed file would weigh more than one installer
    # carries; as a vendor then does, only the files that an old version
    # lacks carry theirs, the others update the known versions.
    with open(os.path.join(out, "product.toml"), "w") as f:
        f.write('[product]\nname = "Scale Test"\nfrom = "1.0"\nto = "3.0"\n\n'
                '[folders]\nnew = "3.0"\nold = ["1.0", "2.0"]\n\n'
                "[texts]\ninstall_folder_key = 'SOFTWARE\\SelfpatchScaleTest\\InstallDir'\n\n"
                '[options]\nfull = false\n')
        for name in sorted(created):
            f.write('\n[[files]]\npath = "%s"\nfull = true\n' % name)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("out")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--files", type=int, default=3000)
    parser.add_argument("--megabytes", type=int, default=700)
    args = parser.parse_args()
    if args.files < 10:
        sys.exit("--files must be at least 10")
    stamp = os.path.join(args.out, "generated")
    wanted = json.dumps({"seed": args.seed, "files": args.files, "megabytes": args.megabytes,
                         "binaries": BINARIES, "project": "full for created files, install folder key"})
    if os.path.exists(stamp) and open(stamp).read() == wanted:
        print("product in %s is up to date" % args.out, file=sys.stderr)
        return
    shutil.rmtree(args.out, ignore_errors=True)
    generate(args.out, args.seed, args.files, args.megabytes)
    with open(stamp, "w") as f:
        f.write(wanted)


if __name__ == "__main__":
    main()
