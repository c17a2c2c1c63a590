"""Updates in which one system call fails, each call in turn.

The kill-point build numbers every call that changes the file system and
every call that opens, maps or reads a file, queries attributes or reads the
registry and the pending renames. With SP_FAIL_AT=k the k-th call fails with
the error SP_FAIL_ERROR, as if the system had refused it, and the run goes on.
A silent update of a product with deltas, a chain, full contents, a new file,
a subfolder and a file held open by another program is run once to learn
every call, then once for each call failing with access denied (5), disk full
(112) or a sharing violation (32), each followed by a restart and a normal
run. After every failing run:
  - its exit code is one of the README's table, and 0 only when every file is
    new after the restart;
  - a run that does not end with 0 says which file it could not update;
  - every file is old, new or recoverable after the restart, and neither a
    temporary file nor a pending rename is left in the product;
  - no unpack folder is left once the restart has removed what it was asked
    to;
and the normal run after it brings every file to the new version and leaves
no temporary file and no pending rename.

`make test` runs a slice (every call that changes the file system, access
denied); SP_FAIL_LOOP=whole runs every call with the three errors (run by
`make fail-loop`).
"""
import os
import random
from collections import Counter
from pathlib import PureWindowsPath
from typing import List

import pytest

import kit
import killpoints
from test_interrupted_deferred_update import HELD, HeldProduct
from test_interrupted_update import Target, evolve

ERRORS = {5: "access denied", 112: "disk full", 32: "sharing violation"}

TEXTS = {
    "0": "Demo", "1": "1.0", "2": "3.0", "5": "%s %s update",
    "7": "%s %s finished", "8": "%s %s incomplete", "37": "%s %s after restart",
    "23": "not found %s", "25": "other version %s", "26": "cannot open %s (%u)",
    "27": "cannot map %s (%u)", "28": "cannot create %s", "29": "failed %s",
    "30": "rename %s to %s", "31": "not updated %s %s", "36": "up to date",
}

# name, how the patch reaches the new version, installed version (None: absent)
PRODUCT = [
    ("app.exe", "delta", 0), ("core.dll", "delta+full", 0), ("lang.dll", "chain", 0),
    (HELD, "chain", 0), ("license.txt", "full", 0), ("readme.txt", "full", None),
    ("data\\table.dat", "delta", 0),
]


def product_targets() -> List[Target]:
    rng = random.Random(20261211)
    made = []
    for name, kind, installed in PRODUCT:
        versions = [rng.randbytes(rng.randrange(2000, 6000))]
        for _ in range(2 if kind.startswith("chain") else 1):
            versions.append(evolve(rng, versions[-1], 5))
        made.append(Target(name, kind, versions, installed))
    return made


def failing_product(case, product_class=HeldProduct) -> HeldProduct:
    """The product installed in "pristine", and every call of an update that
    finds tool.dll held (k=0: no call fails), with its restart and rerun."""
    product = product_class(case, product_targets(), TEXTS)
    product.install_old()
    product.folder.rename(product.pristine)
    product.folder = case.path("work")
    log = case.path("kill.log")
    [line] = product.loop("0", fail=5, SP_KILL_LOG=kit.to_windows(log))
    assert line == "k=0 failed=0 rerun=0 unpack=0,0"
    product.calls = killpoints.logged_calls(log)
    return product


@pytest.fixture
def product(case):
    return failing_product(case)


def concerned_file(call: killpoints.Call, product: HeldProduct) -> str:
    """The name of the product's file that CALL works on ("" for the unpack
    folder, the registry and the like): what a message must name."""
    folder = kit.to_windows(product.folder).lower() + "\\"
    if not call.path.lower().startswith(folder):
        return ""
    name = PureWindowsPath(call.path).name
    while name.lower().endswith(".~up"):
        name = name[:-len(".~up")]
    return name


def line_faults(product: HeldProduct, call: killpoints.Call, fields: dict,
                unpack_before: str) -> List[str]:
    """What is wrong after the run in which CALL failed, if anything; FIELDS
    are those of killloop's line for it."""
    code, rerun = int(fields["failed"]), int(fields["rerun"])
    faults = []
    if fields["k"] != str(call.number):
        return [f"killloop's line is for another call: {fields}"]
    if code not in kit.readme_exit_codes():
        faults.append(f"exit code {code}, not one of the README's table")
    snapshot = product.snapshots / str(call.number)
    restarted = snapshot / "restarted"
    states = {t.name: product.state(t, restarted) for t in product.targets}
    wrong = {name: state for name, state in states.items()
             if state not in ("old", "new", "recoverable")}
    if wrong:
        faults.append(f"after the restart {wrong}")
    if code == 0 and set(states.values()) != {"new"}:
        faults.append(f"exit code 0, but after the restart {states}")
    messages = (snapshot / "messages.txt").read_text(errors="replace") \
        if (snapshot / "messages.txt").exists() else ""
    named = concerned_file(call, product)
    if code != 0 and named and named.lower() not in messages.lower():
        faults.append(f"exit code {code}, but no message names {named}: {messages!r}")
    if product.pending(call.number, "restarted") or product.leftovers(restarted):
        faults.append(f"left after the restart {product.leftovers(restarted)} "
                      f"{product.pending(call.number, 'restarted')}")
    unpack_failed, unpack_rerun = fields["unpack"].split(",")
    if not unpack_before == unpack_failed == unpack_rerun:
        faults.append(f"unpack folders left: {unpack_before} before, {fields['unpack']}")
    rerun_folder = snapshot / "rerun"
    unfinished = [t.name for t in product.targets if product.state(t, rerun_folder) != "new"]
    if rerun != 0 or unfinished or product.leftovers(rerun_folder) or \
            product.pending(call.number, "rerun"):
        faults.append(f"the normal run after it: exit code {rerun}, left {unfinished} "
                      f"{product.leftovers(rerun_folder)} {product.pending(call.number, 'rerun')}")
    return faults


def check_failing_calls(product: HeldProduct, calls: List[killpoints.Call], error: int,
                        capsys):
    lines = product.loop(killpoints.numbers(calls), fail=error)
    product.forget_recycled()
    outcomes = Counter()
    faults = []
    unpack_before = "0"
    for call, line in zip(calls, lines, strict=True):
        where = (f"call {call.number} failing with {error}: {call.kind} {call.name} "
                 f"{call.path.replace(product.case.win, '')}")
        fields = dict(item.split("=") for item in line.split())
        faults += [f"{where}: {fault}"
                   for fault in line_faults(product, call, fields, unpack_before)]
        outcomes[int(fields["failed"])] += 1
        unpack_before = fields["unpack"].split(",")[1]
    with capsys.disabled():
        print(f"\n{len(calls)} calls failing with {error} ({ERRORS[error]}): "
              f"exit codes {dict(sorted(outcomes.items()))}")
    assert not faults, "\n".join(faults)


WHOLE = os.environ.get("SP_FAIL_LOOP") == "whole"


@pytest.mark.parametrize("error", list(ERRORS) if WHOLE else [5])
def test_every_failing_call_ends_with_a_documented_code_and_loses_no_file(
        product, error, capsys):
    calls = product.calls if WHOLE else killpoints.changes(product.calls)
    check_failing_calls(product, calls, error, capsys)
