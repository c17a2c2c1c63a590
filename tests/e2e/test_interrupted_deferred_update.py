"""Updates interrupted while a file of the product is in use.

Another program holds tool.dll open without delete or rename sharing, so the
installer leaves its new version waiting as "tool.dll.~up" (a chain goes on
under "tool.dll.~up.~up") and asks the system to rename it at the next
restart. The kill-point build is ended before each of its changes to the file
system in turn; then the holder ends and Wine restarts (wineboot -r), which
carries out the pending renames. After that every file must be old, new or
recoverable, and no pending rename may still name a file of the product; the
shipped installer run again must bring every file to the new version and leave
no temporary file and no pending rename behind. The same holds for a run made
before the restart that an earlier run asked for.
"""

import random
from collections import Counter
from pathlib import Path
from typing import List, Optional

import pytest

import kit
import killpoints
from test_interrupted_update import KILLLOOP, Product, Target, evolve

HOLDFILE = kit.WIN_BIN / "holdfile.exe"
HELD = "tool.dll"


def targets() -> List[Target]:
    """A file before the held one, the held one reached through a chain, and a
    file after it, so that kills fall before, inside and after the deferral."""
    rng = random.Random(20261211)
    made = []
    for name, kind in (("app.exe", "delta"), (HELD, "chain"), ("data\\table.dat", "delta")):
        versions = [rng.randbytes(rng.randrange(2000, 5000))]
        for _ in range(3 if kind == "chain" else 1):
            versions.append(evolve(rng, versions[-1], 5))
        made.append(Target(name, kind, versions, 0))
    return made


class HeldProduct(Product):
    def __init__(self, case, made: Optional[List[Target]] = None, texts: Optional[dict] = None):
        super().__init__(case, made or targets(), texts)
        self.pristine = case.path("pristine")
        self.snapshots = case.path("snapshots")

    def loop(self, numbers: str, before: str = "", fail: Optional[int] = None,
             **env) -> List[str]:
        """killloop over NUMBERS with tool.dll held during each killed run and a
        restart after it; its lines, one per k. BEFORE "again": a whole run
        that found tool.dll held too comes first; "reinstalled": that run, then
        the old version laid anew, and the killed run finds nothing held. With
        FAIL, each call fails with that error instead of ending the run."""
        run = kit.run(KILLLOOP, *(["--fail", str(fail)] if fail else []), *map(kit.to_windows, (
            self.killable, self.shipped, self.pristine, self.case.path("work"), self.snapshots,
            self.case.path("temp"))), numbers,
            *map(kit.to_windows, (HOLDFILE, self.path(self.target(HELD), self.case.path("work")))),
            *([before] if before else []),
            env=dict({"WINEPATH": kit.to_windows(self.case.path("work"))}, **env), timeout=3600)
        lines = [line.strip() for line in run.stdout.splitlines() if line.startswith("k=")]
        assert run.code == 0, lines[-1:]
        return lines

    def target(self, name: str) -> Target:
        return next(t for t in self.targets if t.name == name)

    def pending(self, number: int, when: str) -> List[str]:
        """Names in the system's pending renames that lie in the product folder."""
        listing = self.snapshots / str(number) / f"pending-{when}.txt"
        folder = kit.to_windows(self.case.path("work")).lower()
        return [name for name in listing.read_text(errors="replace").splitlines()
                if folder in name.lower()]


def held_product(case, before: str = "") -> HeldProduct:
    """The product installed in "pristine", and the calls that an update makes
    while tool.dll is held (k=0: no kill), with its restart and rerun."""
    product = HeldProduct(case)
    product.install_old()
    product.folder.rename(product.pristine)
    product.folder = product.case.path("work")
    log = case.path("kill.log")
    [line] = product.loop("0", before, SP_KILL_LOG=kit.to_windows(log))
    product.calls = killpoints.changes(killpoints.logged_calls(log))
    product.baseline = line
    product.before = before
    return product


@pytest.fixture
def product(case):
    return held_product(case)


def test_a_held_file_is_left_waiting_and_the_restart_puts_it_in_place(product):
    assert product.baseline == "k=0 killed=0 rerun=0 unpack=0,0"
    waiting = [call for call in product.calls if call.name == "MoveFileEx"]
    assert [Path(kit.to_unix(call.path)).name for call in waiting] == [HELD + ".~up"]
    restarted = product.snapshots / "0" / "restarted"
    assert [product.state(t, restarted) for t in product.targets] == ["new"] * 3
    assert product.leftovers(restarted) == []
    assert product.pending(0, "restarted") == []


def check_kill_loop_around_held_file(product, lines: List[str], title: str, capsys) -> None:
    """Every file old, new or recoverable after each killed run and its
    restart, no pending rename left, and a rerun that finishes the update."""
    states = Counter()
    faults = []
    for (number, _, name, path), line in zip(product.calls, lines, strict=True):
        where = f"killed before call {number}: {name} {path.replace(product.case.win, '')}"
        faults += [f"{where}: {fault}"
                   for fault in killpoints.kill_loop_line_faults(line, number)]
        restarted = product.snapshots / str(number) / "restarted"
        for target in product.targets:
            state = product.state(target, restarted)
            states[state] += 1
            if state not in ("old", "new", "recoverable"):
                faults.append(f"{where}: after the restart {target.name} {state}")
        if product.pending(number, "restarted"):
            faults.append(f"{where}: still pending after the restart "
                          f"{product.pending(number, 'restarted')}")
        rerun = product.snapshots / str(number) / "rerun"
        unfinished = [t.name for t in product.targets if product.state(t, rerun) != "new"]
        if unfinished or product.leftovers(rerun) or product.pending(number, "rerun"):
            faults.append(f"{where}: run again, left {unfinished} {product.leftovers(rerun)} "
                          f"{product.pending(number, 'rerun')}")
    with capsys.disabled():
        print(f"\n{title}: {len(product.calls)}; states after the restarts: {dict(states)}")
    assert not faults, "\n".join(faults)


def test_an_update_killed_before_any_change_around_a_held_file_is_finished_by_a_rerun(
        product, capsys):
    lines = product.loop(killpoints.numbers(product.calls))
    product.forget_recycled()
    check_kill_loop_around_held_file(product, lines, "kill points around a held file", capsys)


# Runs made before the restart that an earlier run asked for: that run found
# tool.dll held too, so its new version waits under "tool.dll.~up" and a rename
# is pending.
RUNS_BEFORE_THE_RESTART = {
    # The killed run finds tool.dll still old and makes its versions again.
    "again": "kill points of a run again before the restart",
    # The old version is installed again first: the pending rename of
    # "tool.dll.~up" outlives the file it named.
    "reinstalled": "kill points of a run after a reinstall before the restart",
}


@pytest.fixture(params=list(RUNS_BEFORE_THE_RESTART))
def product_run_before(case, request):
    return held_product(case, before=request.param)


def test_a_run_killed_before_the_restart_of_an_earlier_run_never_lets_it_move_a_half_made_file(
        product_run_before, capsys):
    """A "tool.dll.~up" that the restart may move is only ever replaced by a
    file already verified, so the restart finds a verified file under that name
    or none."""
    product = product_run_before
    assert product.baseline == "k=0 killed=0 rerun=0 unpack=0,0 before=0"
    lines = product.loop(killpoints.numbers(product.calls), before=product.before)
    product.forget_recycled()
    assert all(line.endswith(" before=0") for line in lines), lines
    check_kill_loop_around_held_file(
        product, lines, RUNS_BEFORE_THE_RESTART[product.before], capsys)
