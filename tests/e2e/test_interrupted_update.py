"""Updates interrupted at every change to the file system.

The kill-point build of the installer (selfpatch-sfx-killpoints.exe) numbers
its calls that create, write, stamp, rename, recycle or delete files and
folders, and ends itself right before the k-th when SP_KILL_AT=k. A silent
update of a small product (deltas, chains, full contents, new files) is run
once to learn every call, then killed before each of them in turn. After each
kill every target must be at a version the patch upgrades, at its new version,
or missing with its verified new content waiting beside it as "<name>.~up";
the shipped installer run again must then bring every target to the new
version and leave no temporary file.
"""

import os
import random
import shutil
from collections import Counter
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from pathlib import Path
from typing import List, Optional

import pytest

import kit
import killpoints

KILLLOOP = kit.WIN_BIN / "killloop.exe"

TEXTS = {"0": "Demo", "1": "1.0", "2": "3.0", "5": "%s %s update"}


@dataclass
class Target:
    """One file of the product: its versions (oldest first, the last is new),
    the one installed (None: not installed) and how the patch reaches the new."""
    name: str
    kind: str
    versions: List[bytes]
    installed: Optional[int]

    @property
    def new(self) -> bytes:
        return self.versions[-1]

    @property
    def old(self) -> List[bytes]:
        return self.versions[:-1]


def evolve(rng: random.Random, data: bytes, edits: int) -> bytes:
    """A later version: a few spans replaced, inserted or removed."""
    out = bytearray(data)
    for _ in range(edits):
        at = rng.randrange(len(out))
        span = rng.randrange(8, 120)
        choice = rng.randrange(3)
        if choice == 0:
            out[at:at + span] = rng.randbytes(span)
        elif choice == 1:
            out[at:at] = rng.randbytes(span)
        else:
            del out[at:at + span]
    return bytes(out)


# name, how the patch reaches the new version, installed version (None: absent)
PRODUCT = [
    ("app.exe", "delta", 0), ("core.dll", "delta", 0), ("ui.dll", "delta", 0),
    ("data\\table.dat", "delta", 0), ("help.chm", "delta", 0),
    ("net.dll", "delta+full", 0), ("db.dll", "delta+full", 0), ("font.ttf", "delta+full", 0),
    ("lang.dll", "chain", 0), ("codec.dll", "chain", 0), ("plugin.dll", "chain", 1),
    ("render.dll", "chain+full", 0), ("audio.dll", "chain+full", 0), ("sched.dll", "chain+full", 1),
    ("license.txt", "full", 0), ("config.ini", "full", 0),
    ("readme.txt", "full", None), ("data\\extra.dat", "full", None),
    ("logo.bmp", "full", 1), ("empty.log", "full", 0),
]


def product_targets() -> List[Target]:
    rng = random.Random(20261210)
    targets = []
    for name, kind, installed in PRODUCT:
        count = 3 if kind.startswith("chain") else 2
        first = b"" if name == "empty.log" else rng.randbytes(rng.randrange(2000, 9000))
        versions = [first]
        for _ in range(count - 1):
            versions.append(evolve(rng, versions[-1] or rng.randbytes(300), 6))
        targets.append(Target(name, kind, versions, installed))
    return targets


def write_records(case, targets: List[Target]) -> list:
    """Writes the versions into the case folder; returns the patch records."""
    records = []
    for target in targets:
        files = []
        for index, content in enumerate(target.versions):
            path = case.path(f"versions/{index}/{target.name.replace(chr(92), '/')}")
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_bytes(content)
            files.append({"file": str(path.relative_to(case.dir))})
        steps = [] if target.kind == "full" else [
            {"name": target.name, "old": files[i], "new": files[i + 1]}
            for i in range(len(files) - 1)]
        if target.kind in ("full", "delta+full", "chain+full"):
            steps.append({"name": target.name, "content": files[-1]})
        records += steps
    return records


class Product:
    """The installed product in the case folder "product", with the patch that
    updates it packed into the kill-point build and into the shipped installer."""

    killable_stub = killpoints.SFX
    shipped_stub = kit.SFX

    def __init__(self, case, targets: Optional[List[Target]] = None,
                 texts: Optional[dict] = None):
        self.case = case
        self.folder = case.path("product")
        self.targets = targets or product_targets()
        patch = kit.assemble({"texts": texts or TEXTS,
                              "records": write_records(case, self.targets)},
                             case.path("update.dif"))
        self.killable = kit.pack(patch, case.path("killable.exe"), silent=True,
                                 stub=self.killable_stub)
        self.shipped = kit.pack(patch, case.path("update.exe"), silent=True,
                                stub=self.shipped_stub)
        self.env = {"WINEPATH": kit.to_windows(self.folder)}
        self.trash = Path(os.environ.get("XDG_DATA_HOME", Path.home() / ".local/share"))

    def path(self, target: Target, folder: Optional[Path] = None) -> Path:
        return (folder or self.folder) / target.name.replace("\\", "/")

    def install_old(self):
        shutil.rmtree(self.folder, ignore_errors=True)
        (self.folder / "data").mkdir(parents=True)
        for target in self.targets:
            if target.installed is not None:
                self.path(target).write_bytes(target.versions[target.installed])

    def run(self, program, **env):
        return kit.exit_code(program, env=dict(self.env, **{k: str(v) for k, v in env.items()}))

    def state(self, target: Target, folder: Optional[Path] = None) -> str:
        """"old", "new" or "recoverable"; anything else names what is wrong."""
        path = self.path(target, folder)
        waiting = path.with_name(path.name + ".~up")
        if not path.exists():
            if target.installed is None:
                return "old"
            # A version that a record produces waits whole under the temporary name.
            if waiting.exists() and waiting.read_bytes() in target.versions[1:]:
                return "recoverable"
            return "lost"
        content = path.read_bytes()
        if content == target.new:
            return "new"
        if content in target.old:
            return "old"
        return "damaged"

    def leftovers(self, folder: Optional[Path] = None) -> List[str]:
        folder = folder or self.folder
        return sorted(str(p.relative_to(folder)) for p in folder.rglob("*.~up*"))

    def forget_recycled(self):
        """Takes the files of this test, which the loop recycles by the
        thousand, out of the recycle bin."""
        info = self.trash / "Trash" / "info"
        if not info.is_dir():
            return
        marker = "/" + str(self.case.dir.relative_to(kit.DRIVE_C)) + "/"
        for entry in info.glob("*.trashinfo"):
            if marker in entry.read_text(errors="replace"):
                (self.trash / "Trash" / "files" / entry.name[:-len(".trashinfo")]).unlink(
                    missing_ok=True)
                entry.unlink(missing_ok=True)


def steps(target: Target) -> int:
    """How many records the update applies to the target in a row."""
    last = len(target.versions) - 1
    if target.installed == last:
        return 0
    if target.kind.startswith("chain") and target.installed is not None:
        return last - target.installed
    return 1


@pytest.fixture
def product(case):
    """The product and the calls that an uninterrupted update makes."""
    product = Product(case)
    log = case.path("kill.log")
    product.install_old()
    assert product.run(product.killable, SP_KILL_LOG=kit.to_windows(log)) == 0
    product.all_calls = killpoints.logged_calls(log)
    product.calls = killpoints.changes(product.all_calls)
    return product


def test_the_kill_point_build_without_a_kill_updates_and_numbers_its_changes(product):
    assert {t.name: product.state(t) for t in product.targets} == {
        t.name: "new" for t in product.targets}
    assert product.leftovers() == []
    every = product.all_calls
    assert [call.number for call in every] == list(range(1, len(every) + 1))
    assert {call.kind for call in every} == {"change", "read"}
    changes = Counter(call.name for call in product.calls)
    produced = sum(steps(t) for t in product.targets)
    # Each produced file is created, written, stamped and moved into place; the
    # patch is unpacked into a folder of its own and removed with it.
    assert changes["MoveFile"] == changes["SetFileTime"] == produced
    assert changes["CreateFile"] == produced + 1
    assert (changes["CreateDirectory"], changes["RemoveDirectory"]) == (1, 1)
    # Only the installed copy that a chain starts from goes to the recycle bin.
    assert changes["RecycleFile"] == sum(1 for t in product.targets if steps(t))


def test_the_shipped_installer_has_no_kill_points(product):
    log = product.case.path("shipped.log")
    product.install_old()
    # Failing the second call (the unpacking of the patch) would end the run with 2.
    assert product.run(product.shipped, SP_KILL_AT=1, SP_FAIL_AT=2,
                       SP_KILL_LOG=kit.to_windows(log)) == 0
    assert not log.exists()
    assert [product.state(t) for t in product.targets] == ["new"] * len(product.targets)


def kill_loops(product: Product, calls: List[killpoints.Call], workers: int,
               fail: Optional[int] = None) -> List[str]:
    """Runs killloop over CALLS, split into WORKERS parts run side by side, each
    on a product folder and a temporary folder of its own; returns killloop's
    lines in the order of the calls. With FAIL, each call fails with that error
    instead of ending the run."""
    product.install_old()
    pristine = product.case.path("pristine")
    shutil.rmtree(pristine, ignore_errors=True)
    shutil.copytree(product.folder, pristine)
    bounds = [len(calls) * w // workers for w in range(workers + 1)]

    def loop(worker: int) -> List[str]:
        part = calls[bounds[worker]:bounds[worker + 1]]
        if not part:
            return []
        folder = product.case.path(f"product-{worker}")
        run = kit.run(KILLLOOP, *(["--fail", str(fail)] if fail else []), *map(kit.to_windows, (
            product.killable, product.shipped, pristine, folder,
            product.case.path("snapshots"), product.case.path(f"temp-{worker}"))),
            killpoints.numbers(part), env={"WINEPATH": kit.to_windows(folder)}, timeout=3600)
        lines = [line.strip() for line in run.stdout.splitlines() if line.startswith("k=")]
        assert run.code == 0, lines[-1:]
        return lines

    with ThreadPoolExecutor(workers) as pool:
        return [line for lines in pool.map(loop, range(workers)) for line in lines]


def test_an_update_killed_before_any_change_leaves_every_file_old_new_or_recoverable(
        product, capsys):
    calls = product.calls
    lines = kill_loops(product, calls, workers=min(2, os.cpu_count() or 1))
    product.forget_recycled()

    snapshots = product.case.path("snapshots")
    states = Counter()
    faults = []
    for (number, _, name, path), line in zip(calls, lines, strict=True):
        where = f"killed before call {number}: {name} {path.replace(product.case.win, '')}"
        faults += [f"{where}: {fault}"
                   for fault in killpoints.kill_loop_line_faults(line, number)]
        for target in product.targets:
            state = product.state(target, snapshots / str(number) / "killed")
            states[state] += 1
            if state not in ("old", "new", "recoverable"):
                faults.append(f"{where}: {target.name} {state}")
        rerun = snapshots / str(number) / "rerun"
        unfinished = [t.name for t in product.targets if product.state(t, rerun) != "new"]
        if unfinished or product.leftovers(rerun):
            faults.append(f"{where}: run again, left {unfinished} {product.leftovers(rerun)}")
    with capsys.disabled():
        print(f"\nkill points: {len(calls)}; target states after the kills: "
              f"{dict(states)}")
    assert not faults, "\n".join(faults)
    shutil.rmtree(snapshots)
