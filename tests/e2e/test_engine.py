"""The update engine through the real installer under Wine: files in use
replaced at the next restart (NT and 9x family), the exit codes of failed and
incomplete runs, and Cancel on the drive-scan question.

The product folder is put on the program search path (WINEPATH), which is
where the installer looks when the registry names no install folder.
"""

import subprocess

import pytest

import kit
from boxes import pick_folder, run_with_boxes

TEXTS = {
    "0": "Demo", "1": "1.0", "2": "3.0", "5": "%s %s update", "6": "Update %s %s to %s?%s",
    "7": "%s %s finished", "8": "%s %s incomplete", "23": "missing %s", "25": "other version %s",
    "26": "cannot open %s", "27": "cannot map %s", "28": "cannot create %s", "29": "failed %s",
    "30": "rename %s to %s", "31": "not updated %s %s", "33": "scan drives for %s?",
    "36": "up to date", "37": "%s %s: restart Windows", "20": "Where is %s installed?",
}

V1 = bytes(range(256)) * 8
V2 = V1[:500] + b"second version" + V1[500:1800]
V3 = V2[:100] + b"third version" * 3 + V2[100:]


def installer(case, records, silent=False, name="update.exe"):
    """An installer of the patch that `records` describe; the versions are the
    files v1, v2 and v3 of the case folder."""
    for version, content in (("v1", V1), ("v2", V2), ("v3", V3)):
        case.path(version).write_bytes(content)
    patch = kit.assemble({"texts": TEXTS, "records": records}, case.path("patch.dif"))
    return kit.pack(patch, case.path(name), silent=silent)


def install(case, name, content):
    """Installs a file of the product, whose folder is the case's "product"."""
    path = case.path("product") / name
    path.parent.mkdir(exist_ok=True)
    path.write_bytes(content)
    return path


def run_installer(case, exe, script=()):
    # The product folder is on the program search path: with no install folder
    # from the registry, that is where the installer finds the files.
    env = {"WINEPATH": kit.to_windows(case.path("product"))}
    return run_with_boxes(exe, script=script, env=env)


def chain(name: str, **extra):
    """Records taking version 1 through 2 to 3, and the full content of 3."""
    return [
        dict({"name": name, "old": {"file": "v1"}, "new": {"file": "v2"}}, **extra),
        {"name": name, "old": {"file": "v2"}, "new": {"file": "v3"}},
        {"name": name, "content": {"file": "v3"}},
    ]


def test_file_in_use_is_replaced_at_the_next_restart(case):
    target = install(case, "tool.dll", V1)
    exe = installer(case, chain("tool.dll"))
    holder = kit.FileHolder(target, case.dir)
    try:
        run = run_installer(case, exe, script=["Yes", "OK"])
    finally:
        holder.release()
    assert run.exit_code == 0
    assert run.texts[-1] == "Demo 3.0: restart Windows"
    assert target.read_bytes() == V1
    assert (case.path("product") / "tool.dll.~up").read_bytes() == V3
    assert not (case.path("product") / "tool.dll.~up.~up").exists()

    kit.restart_windows()
    assert target.read_bytes() == V3
    assert not (case.path("product") / "tool.dll.~up").exists()


def test_file_in_use_on_the_9x_family_is_renamed_through_wininit(case):
    target = install(case, "tool.dll", V1)
    exe = installer(case, chain("tool.dll"), silent=True, name="update9x.exe")
    app_defaults = r"HKCU\Software\Wine\AppDefaults\update9x.exe"
    subprocess.run(["wine", "reg", "add", app_defaults, "/v", "Version", "/t", "REG_SZ", "/d",
                    "win98", "/f"], check=True, capture_output=True)
    wininit = kit.DRIVE_C / "windows" / "wininit.ini"
    try:
        holder = kit.FileHolder(target, case.dir)
        try:
            run = run_installer(case, exe)
        finally:
            holder.release()
        text = next((p for p in wininit.parent.iterdir() if p.name.lower() == "wininit.ini"),
                    wininit).read_text(errors="replace")
    finally:
        subprocess.run(["wine", "reg", "delete", app_defaults, "/f"], capture_output=True)
    assert run.exit_code == 0
    assert "[rename]" in text
    rename_lines = [line for line in text.splitlines() if "=" in line]
    assert any(line.upper().startswith("C:\\SPTESTS") for line in rename_lines), text
    # The chain went on under the short names: the waiting file holds version 3.
    waiting = [p for p in case.path("product").iterdir() if p.name != "tool.dll"]
    assert [p.read_bytes() for p in waiting] == [V3]
    assert target.read_bytes() == V1
    kit.restart_windows()
    assert target.read_bytes() == V3
    assert [p.name for p in case.path("product").iterdir()] == ["tool.dll"]


@pytest.mark.parametrize("kind", ["crc mismatch", "missing file"])
def test_exit_codes_of_failed_and_incomplete_runs(case, kind):
    target = install(case, "tool.dll", V1)
    if kind == "crc mismatch":
        records = [{"name": "tool.dll", "old": {"file": "v1"}, "new": {"file": "v3"},
                    "newCrc": 1234}]
        script, code, last = ["Yes", "OK"], 107, "failed " + kit.to_windows(target)
    else:
        # tool.dll is updated, gone.dll is missing: No to the drive scan, then
        # the missing file and the report of an incomplete update.
        records = chain("tool.dll") + [{"name": "gone.dll", "old": {"file": "v1"},
                                        "new": {"file": "v2"}}]
        script, code, last = ["Yes", "Cancel", "No", "OK", "OK"], 200, "Demo 3.0 incomplete"
    exe = installer(case, records)
    run = run_installer(case, exe, script=script)
    assert run.exit_code == code, run.texts
    assert run.texts[-1] == last
    assert not (case.path("product") / "tool.dll.~up").exists()
    assert target.read_bytes() == (V1 if kind == "crc mismatch" else V3)


def test_cancel_on_the_drive_scan_question_ends_with_code_1(case):
    exe = installer(case, [{"name": "nowhere.dll", "old": {"file": "v1"}, "new": {"file": "v2"}}])
    # The folder browser comes first (no folder is known); then Cancel on key 33.
    run = run_installer(case, exe, script=["Yes", "Cancel", "Cancel"])
    assert run.exit_code == 1
    assert run.texts[-1] == "scan drives for nowhere.dll?"


@pytest.mark.parametrize("waiting", ["V2", "V3"])
def test_verified_file_left_waiting_after_a_cut_short_replacement_is_put_in_place(case, waiting):
    # A run ended between removing tool.dll and renaming tool.dll.~up onto it:
    # the name is empty, the verified new content waits beside it.
    left = install(case, "tool.dll.~up", {"V2": V2, "V3": V3}[waiting])
    exe = installer(case, chain("tool.dll", flags=4), silent=True)  # never created
    run = run_installer(case, exe)
    assert run.exit_code == 0
    assert (case.path("product") / "tool.dll").read_bytes() == V3
    assert not left.exists()


# ---- a new file while no product folder is known ---------------------------
# No registry entry and nothing on the search path: the product is not found.

NEW_FILE = {"name": "readme.txt", "content": {"file": "v3"}}  # created where missing


def test_silent_run_creates_no_new_file_without_a_product_folder(case, no_leftovers):
    before = set(kit.wine_temp().iterdir())
    exe = installer(case, [NEW_FILE] + chain("tool.dll"), silent=True)
    assert kit.run(exe).code == 107  # nothing updated, two files missing
    assert set(kit.wine_temp().iterdir()) == before
    assert sorted(p.name for p in case.dir.iterdir()) == sorted(
        ["patch.dif", "patch.dif.json", "update.exe", "v1", "v2", "v3"])


@pytest.mark.parametrize("answer", ["cancelled", "product folder"])
def test_folder_browser_offered_for_a_new_file(case, answer, no_leftovers):
    product = case.path("product")
    product.mkdir()
    exe = installer(case, [NEW_FILE])
    if answer == "cancelled":
        script, code, last = ["Yes", "Cancel", "OK", "OK"], 107, "not updated Demo 3.0"
    else:
        script, code, last = ["Yes", pick_folder(product), "OK"], 0, "Demo 3.0 finished"
    run = run_with_boxes(exe, script=script)
    browser = run.boxes[1]  # its title: the Windows unit tests of the locator
    assert browser.kind == "dialog" and browser.buttons == ["OK", "Cancel"]
    assert run.exit_code == code, run.texts
    assert run.texts[-1] == last
    if answer == "cancelled":
        assert run.texts[2] == "missing readme.txt"
        assert list(product.iterdir()) == []
    else:
        assert (product / "readme.txt").read_bytes() == V3
