"""A damaged records area ends the run with exit code 103 before anything
happens: the patch's header parses, but the installer checks every record
before it asks, closes or touches anything."""
import pytest

import kit
from boxes import run_with_boxes

pytestmark = pytest.mark.usefixtures("no_leftovers")

TARGET = "sp_validation_target.txt"
# Optional and never created (8 and 4): a run touches no file.
GOOD = {"name": TARGET, "content": "new\n", "flags": 12}
DELTA = {"name": TARGET, "old": "old", "new": "new"}

FAULTS = {
    # name: (records, extra description fields)
    "recordLength below the name": ([GOOD, {**GOOD, "recordLength": 26}], {}),
    "recordLength past the end": ([GOOD, {**GOOD, "recordLength": 4096}], {}),
    "bytes after the last record": ([GOOD], {"append": {"hex": "00 01"}}),
    "delta header: lengths end before they start":
        ([GOOD, {**DELTA, "deltaHeader": {"lengthsOffset": 40, "positionsOffset": 36}}], {}),
    "delta header: offset past the record":
        ([GOOD, {**DELTA, "deltaHeader": {"addendsOffset": 100000}}], {}),
}


def installer(case, records, extra, silent):
    description = {"texts": {"0": "Product", "32": "Faulty update data: %s"},
                   "records": records, **extra}
    patch = kit.assemble(description, case.path("update.dif"))
    return kit.pack(patch, case.path("setup.exe"), runs=[case.recorder("rec.exe")],
                    silent=silent)


@pytest.mark.parametrize("fault", FAULTS)
def test_damaged_records_area_ends_with_103_before_anything_runs(case, fault):
    records, extra = FAULTS[fault]
    program = installer(case, records, extra, silent=True)
    assert kit.exit_code(program, env=case.env) == 103
    assert case.record("rec.exe") == []  # the post-update program never ran


def test_records_are_checked_before_the_question(case):
    # Key 6 (the question) and key 32 are empty, so neither shows: a sound patch
    # ends unconfirmed (104), a damaged one as faulty (103), asked nothing.
    records, extra = FAULTS["bytes after the last record"]
    sound = installer(case, records, {}, silent=False)
    assert kit.exit_code(sound, env=case.env, display=False) == 104
    description = {"texts": {"0": "Product"}, "records": records, **extra}
    patch = kit.assemble(description, case.path("damaged.dif"))
    damaged = kit.pack(patch, case.path("damaged.exe"))
    assert kit.exit_code(damaged, env=case.env, display=False) == 103


def test_sound_records_area_passes_the_check(case):
    program = installer(case, [GOOD, {**DELTA, "flags": 8}], {}, silent=True)
    assert kit.exit_code(program, env=case.env) != 103


def test_damaged_records_area_shows_key_32_with_the_patch_path_and_asks_nothing(case):
    records, extra = FAULTS["recordLength past the end"]
    description = {"texts": {"0": "Product", "6": "Update %s?", "32": "Faulty update data: %s"},
                   "records": records, **extra}
    patch = kit.assemble(description, case.path("update.dif"))
    run = run_with_boxes(kit.pack(patch, case.path("setup.exe")), script=["OK"])
    assert run.exit_code == 103
    [box] = run.boxes  # no confirmation question before it
    assert box.style == 16
    assert box.text.startswith("Faulty update data: ") and box.text.endswith("update.dif")
