"""Every way a run can fail ends with its own exit code: one run per failure
path, each code one that driver/exit_codes.h defines and the README's table
explains, and never 0. The README table and the header are kept in step."""
import re
import zlib

import pytest

import kit
from boxes import run_with_boxes
from kit import entry
from test_registry_close import RunningApp

pytestmark = pytest.mark.usefixtures("no_leftovers")

TEXTS = {"0": "Demo", "1": "1.0", "2": "2.0", "5": "%s %s update"}
OLD = b"the installed version\n" * 40
NEW = b"the new version\n" * 40


def header_codes():
    text = (kit.ROOT / "driver" / "exit_codes.h").read_text()
    return {int(code) for code in re.findall(r"^\s*Exit\w+\s*=\s*(\d+),", text, re.M)}


def test_readme_table_and_header_list_the_same_codes():
    assert header_codes(), "no code found in driver/exit_codes.h"
    assert kit.readme_exit_codes() == header_codes()


# ---- the failure paths --------------------------------------------------------

def packed(case, records, texts=None, silent=True):
    patch = kit.assemble({"texts": {**TEXTS, **(texts or {})}, "records": records},
                         case.path("update.dif"))
    return kit.pack(patch, case.path("setup.exe"), silent=silent)


def raw(case, entries):
    return kit.pack_raw(entry("arg00") + entries, case.path("setup.exe"), switches=" /s")


def install(case, name, content):
    folder = case.path("product")
    folder.mkdir(exist_ok=True)
    (folder / name).write_bytes(content)
    return {"WINEPATH": kit.to_windows(folder)}


def delta(name, old, new, **extra):
    return {"name": name, "old": {"hex": old.hex()}, "new": {"hex": new.hex()}, **extra}


def run(installer, env=None, script=None, display=True):
    if script is None:
        return kit.exit_code(installer, env=env, display=display)
    return run_with_boxes(installer, script=script, env=env or {}).exit_code


def damaged_payload(case):
    return run(raw(case, b"x"))


def unpacking_cannot_write(case):
    return run(raw(case, entry("a*b.dif", b"data")))


def no_patch_named(case):
    return run(raw(case, b""))


def patch_not_opened(case):
    return run(raw(case, entry("update.dif")))  # a token, but no file


def patch_not_mapped(case):
    return run(raw(case, entry("update.dif", data=zlib.compress(b""))))


def damaged_header(case):
    patch = kit.assemble({"texts": TEXTS, "magic": False,
                          "records": [{"name": "a.txt", "content": "x"}]}, case.path("u.dif"))
    return run(kit.pack(patch, case.path("setup.exe"), silent=True))


def damaged_record(case):
    return run(packed(case, [{"name": "a.txt", "content": "x", "recordLength": 4096}]))


def hostile_name(case):
    return run(packed(case, [{"name": "..\\a.txt", "content": "x", "allowUnsafeName": True}]))


def not_confirmed(case):
    # Key 6 is empty: the question is not shown and counts as not answered Yes.
    return run(packed(case, [{"name": "a.txt", "content": "x", "flags": 12}], silent=False),
               display=False)


def applications_not_closed(case):
    app = RunningApp(case, "SpExitCodes", "close")
    try:
        texts = {"6": "Update %s?", "21": "Please close %s", "40": "SpExitCodes"}
        installer = packed(case, [{"name": "a.txt", "content": "x", "flags": 12}], texts,
                           silent=False)
        return run(installer, script=["Yes", "Cancel"])
    finally:
        app.stop()


def file_update_failed(case):
    env = install(case, "tool.dll", OLD)
    code = run(packed(case, [delta("tool.dll", OLD, NEW, newCrc=1234)]), env=env)
    assert case.path("product/tool.dll").read_bytes() == OLD
    return code


def some_files_not_updated(case):
    # tool.dll is updated; other.dll is of a version that no record knows.
    env = install(case, "tool.dll", OLD)
    install(case, "other.dll", b"a version of its own")
    code = run(packed(case, [delta("tool.dll", OLD, NEW), delta("other.dll", OLD, NEW)]), env=env)
    assert case.path("product/tool.dll").read_bytes() == NEW
    return code


def required_file_missing_in_a_silent_run(case):
    # tool.dll is updated; gone.dll is nowhere, and no box tells of it. The
    # patch has a message for missing files, so the file counts.
    env = install(case, "tool.dll", OLD)
    records = [delta("tool.dll", OLD, NEW), delta("gone.dll", OLD, NEW)]
    return run(packed(case, records, {"23": "missing %s"}), env=env)


def drive_scan_cancelled(case):
    texts = {"6": "Update %s?", "33": "Scan the drives for %s?"}
    installer = packed(case, [delta("nowhere.dll", OLD, NEW)], texts, silent=False)
    # The folder browser comes first (no folder is known), then Cancel on key 33.
    return run(installer, script=["Yes", "Cancel", "Cancel"])


FAILURES = {
    "damaged payload": (damaged_payload, 1),
    "unpacking cannot write": (unpacking_cannot_write, 2),
    "no patch named": (no_patch_named, 100),
    "patch not opened": (patch_not_opened, 101),
    "patch not mapped": (patch_not_mapped, 102),
    "damaged header": (damaged_header, 103),
    "damaged record": (damaged_record, 103),
    "hostile record name": (hostile_name, 103),
    "not confirmed": (not_confirmed, 104),
    "applications not closed": (applications_not_closed, 106),
    "file update failed": (file_update_failed, 107),
    "some files not updated": (some_files_not_updated, 200),
    "required file missing in a silent run": (required_file_missing_in_a_silent_run, 200),
    "drive scan cancelled": (drive_scan_cancelled, 1),
}


@pytest.mark.parametrize("path", FAILURES)
def test_each_failure_ends_with_its_listed_code(case, path):
    make_run, expected = FAILURES[path]
    code = make_run(case)
    assert code == expected
    assert code != 0
    assert code in header_codes() and code in kit.readme_exit_codes()


def test_a_run_without_failure_ends_with_0(case):
    env = install(case, "tool.dll", OLD)
    assert run(packed(case, [delta("tool.dll", OLD, NEW)]), env=env) == 0
    assert case.path("product/tool.dll").read_bytes() == NEW
