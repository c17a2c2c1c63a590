"""The shipped 32-bit installer itself, run under Wine: where this machine runs
32-bit programs natively, or under CPU emulation where its kernel refuses them
(each start then takes about a minute, so the cases are few and each covers
much). The helper programs are those of the build the other tests run.

- A silent update of a product found through its uninstall entry in the
  registry view of 32-bit programs: a delta chain, a full content, a new file
  in a subfolder, the old files recycled, and a file held open that takes its
  new version at the next restart.
- A confirmation answered Yes in the real box, up to the final report.
- A damaged payload: code 1, nothing left behind.
"""
import os
import zlib
from pathlib import Path

import pytest

import kit
from boxes import run_with_boxes

SFX = kit.SHIPPED_SFX
TIMEOUT = 600  # a start under emulation takes about a minute
UNINSTALL = r"HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall"
TEXTS = {
    "0": "Smoke", "1": "1.0", "2": "3.0", "5": "%s %s update", "6": "Update %s from %s to %s?%s",
    "7": "%s %s: the update is finished.", "8": "%s %s incomplete", "23": "missing %s",
    "25": "other version %s", "37": "%s %s: restart Windows",
}

V1 = b"".join(b"line %04d of the first version\r\n" % i for i in range(600))
V2 = V1.replace(b"line 0100", b"LINE 0100") + b"added in the second version\r\n"
V3 = V2.replace(b"line 0400", b"LINE 0400")[200:] + b"added in the third version\r\n"
OLD_TABLE, NEW_TABLE = b"table 1.0\r\n" * 40, b"table 3.0, rewritten\r\n" * 30
README = b"new in 3.0\r\n"


@pytest.fixture(autouse=True)
def runs_the_shipped_program():
    machine = "x86-64" if kit.is_64bit_program(SFX) else "i386"
    assert machine == "i386", f"{SFX} is built for {machine}"


@pytest.fixture
def uninstall_entry(case):
    name = "SelfpatchSmoke." + case.dir.name[-40:]
    yield name
    kit.reg("delete", UNINSTALL + "\\" + name, check=False)


def chain(name, full=False):
    records = [{"name": name, "old": {"file": "v1"}, "new": {"file": "v2"}},
               {"name": name, "old": {"file": "v2"}, "new": {"file": "v3"}}]
    return records + ([{"name": name, "content": {"file": "v3"}}] if full else [])


def installer(case, entry, records, silent):
    for version, content in (("v1", V1), ("v2", V2), ("v3", V3)):
        case.path(version).write_bytes(content)
    texts = dict(TEXTS, **{"3": entry})
    patch = kit.assemble({"texts": texts, "records": records}, case.path("update.dif"))
    return kit.pack(patch, case.path("update.exe"), silent=silent, stub=SFX)


def install(case, entry, files):
    """The product at version 1.0 in the case's "product" folder, named by its
    uninstall entry, as the product's own 32-bit installer leaves it."""
    product = case.path("product")
    for name, content in files.items():
        path = product / name.replace("\\", "/")
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(content)
    kit.reg("add", UNINSTALL + "\\" + entry, "/v", "InstallLocation", "/t", "REG_SZ", "/d",
            kit.to_windows(product) + "\\")
    return product


def recycled(name):
    """Contents of the files the recycle bin holds under NAME."""
    trash = Path(os.environ["XDG_DATA_HOME"]) / "Trash" / "files"
    return [p.read_bytes() for p in trash.glob(name + "*")
            if p.name == name or p.name.startswith(name + "-")]


def test_silent_update_found_through_the_uninstall_entry(case, uninstall_entry, no_leftovers):
    product = install(case, uninstall_entry, {
        "app.exe": V1, "tool.dll": V1, "data\\table.dat": OLD_TABLE})
    case.path("table").write_bytes(NEW_TABLE)
    case.path("readme").write_bytes(README)
    exe = installer(case, uninstall_entry, chain("app.exe") + chain("tool.dll", full=True) + [
        {"name": "data\\table.dat", "content": {"file": "table"}},
        {"name": "data\\readme.txt", "content": {"file": "readme"}}], silent=True)

    holder = kit.FileHolder(product / "tool.dll", case.dir, seconds=TIMEOUT)
    try:
        assert kit.run(exe, timeout=TIMEOUT).code == 0
    finally:
        holder.release()

    expected = {"app.exe": V3, "data/table.dat": NEW_TABLE, "data/readme.txt": README}
    assert {name: zlib.crc32((product / name).read_bytes()) for name in expected} == \
        {name: zlib.crc32(content) for name, content in expected.items()}
    assert V1 in recycled("app.exe") and OLD_TABLE in recycled("table.dat")
    # Held open, tool.dll waits for the restart with its new version beside it.
    assert (product / "tool.dll").read_bytes() == V1
    assert zlib.crc32((product / "tool.dll.~up").read_bytes()) == zlib.crc32(V3)

    kit.restart_windows()
    assert zlib.crc32((product / "tool.dll").read_bytes()) == zlib.crc32(V3)
    assert sorted(p.name for p in product.iterdir()) == ["app.exe", "data", "tool.dll"]


def test_confirmation_answered_yes_in_the_real_box(case, uninstall_entry, no_leftovers):
    product = install(case, uninstall_entry, {"app.exe": V1})
    exe = installer(case, uninstall_entry, chain("app.exe"), silent=False)

    run = run_with_boxes(exe, script=["Yes", "OK"], timeout=TIMEOUT)

    assert run.exit_code == 0
    confirm, report = run.boxes
    assert (confirm.caption, confirm.text) == ("Smoke 3.0 update", "Update Smoke from 1.0 to 3.0?")
    assert confirm.buttons == ["Yes", "No"] and confirm.icon == "question"
    assert (report.caption, report.text) == ("Smoke 3.0 update", "Smoke 3.0: the update is finished.")
    assert (product / "app.exe").read_bytes() == V3


def test_damaged_payload_ends_with_code_1_and_leaves_nothing(case, no_leftovers):
    patch = kit.simple_patch(case)
    good = kit.entry("arg00") + kit.entry(patch.name, patch.read_bytes())
    exe = kit.pack_raw(good[:-7], case.path("damaged.exe"), stub=SFX)

    assert kit.exit_code(exe, "/s", timeout=TIMEOUT) == 1
    assert sorted(p.name for p in case.dir.iterdir()) == sorted(
        [patch.name, patch.name + ".json", "damaged.exe", "damaged.exe.payload"])
