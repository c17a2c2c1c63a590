"""The update driver under Wine, started by the real installer: its exit codes,
the driver command line built from the entry names, and the post-update
commands, seen by a recording test program run as one of them."""

import os
import subprocess
import time

import pytest

import kit
from kit import entry

pytestmark = pytest.mark.usefixtures("no_leftovers")


def faulty_patch(case, description):
    return kit.assemble(description, case.path("faulty.dif"))


EXIT_CODES = {
    # name: (payload entries after "arg00", expected code)
    # (codes 100 to 102 and every other failure: test_exit_codes.py)
    "valid patch": (lambda case: entry("update.dif", kit.simple_patch(case).read_bytes()), 0),
    "no magic": (lambda case: entry("update.dif", faulty_patch(case, {
        "texts": {"32": "bad %s"}, "magic": False,
        "records": [{"name": "a.txt", "content": "x"}]}).read_bytes()), 103),
    "key 50": (lambda case: entry("update.dif", faulty_patch(case, {
        "texts": {"0": "Sample", "50": "x"},
        "records": [{"name": "a.txt", "content": "x"}]}).read_bytes()), 103),
    "magic ends the file": (lambda case: entry("update.dif", b"0:Sample\0DIF0"), 103),
}


@pytest.mark.parametrize("name", EXIT_CODES)
def test_exit_codes(case, name):
    make_entries, expected = EXIT_CODES[name]
    installer = kit.pack_raw(entry("arg00") + make_entries(case), case.path("setup.exe"),
                             switches=" /s")
    assert kit.exit_code(installer) == expected


def test_silent_run_with_the_recorder_sees_the_unpacked_files(case):
    patch = kit.simple_patch(case)
    recorder = case.recorder("rec.exe")
    installer = kit.pack(patch, case.path("setup.exe"), runs=[recorder], silent=True)
    assert kit.exit_code(installer, env=case.env) == 0

    [seen] = case.record("rec.exe")
    folder = seen["cwd"]
    name = folder.rsplit("\\", 1)[1]
    assert kit.UNPACK_FOLDER.match(name)
    assert kit.to_unix(folder).parent == kit.wine_temp()
    # Started by its full path in the unpack folder, the current folder.
    assert seen["module"] == folder + "\\rec.exe"
    assert seen["commandline"] == f'"{folder}\\rec.exe"'
    assert seen["files"] == {"update.dif": patch.stat().st_size,
                             "rec.exe": recorder.stat().st_size}
    assert not kit.to_unix(folder).exists()  # removed with everything in it


def test_without_silent_the_update_asks_first(case):
    # Key 6 is empty, so the question answers 0 without showing anything:
    # the run ends with 104 and runs no post-update command.
    recorder = case.recorder("rec.exe")
    installer = kit.pack(kit.simple_patch(case), case.path("setup.exe"), runs=[recorder])
    assert kit.exit_code(installer, env=case.env, display=False) == 104
    assert case.record("rec.exe") == []
    assert kit.exit_code(installer, "/s", env=case.env) == 0
    assert len(case.record("rec.exe")) == 1


def test_command_line_from_entry_names(case):
    # arg00 [/s] update.dif first.exe missing.exe second.exe: the length-0 entry
    # is a token but no file; it does not start and is passed over.
    patch = kit.simple_patch(case)
    first = case.recorder("first.exe")
    case.recorder("second.exe")
    payload = (entry("arg00") + entry("update.dif", patch.read_bytes()) +
               entry("first.exe", first.read_bytes()) + entry("missing.exe") +
               entry("second.exe", first.read_bytes()))
    installer = kit.pack_raw(payload, case.path("setup.exe"))
    assert kit.exit_code(installer, "/s", env=case.env) == 0
    [one] = case.record("first.exe")
    [two] = case.record("second.exe")
    assert set(one["files"]) == {"update.dif", "first.exe", "second.exe"}
    assert one["cwd"] == two["cwd"]
    # One after another: the second started after the first had ended.
    log_order = sorted(case.dir.glob("*.log"), key=lambda p: p.stat().st_mtime_ns)
    assert [p.name for p in log_order] == ["first.log", "second.log"]


def test_post_command_is_the_unpacked_program_not_one_beside_the_installer(case):
    patch = kit.simple_patch(case)
    recorder = case.recorder("rec.exe")  # also lies beside setup.exe in the case folder
    installer = kit.pack(patch, case.path("setup.exe"), runs=[recorder], silent=True)
    assert kit.exit_code(installer, env=case.env) == 0
    [seen] = case.record("rec.exe")
    assert seen["module"].startswith(seen["cwd"] + "\\")
    assert not seen["module"].startswith(case.win)


def run_leaving_files(case, while_waiting=None):
    """A silent run whose follow-up program leaves files and folders in its
    current folder (the unpack folder) and then waits until WHILE_WAITING has
    been called with that folder. Returns the exit code and the folder."""
    go = case.path("go")
    installer = kit.pack(kit.simple_patch(case), case.path("setup.exe"),
                         runs=[case.recorder("rec.exe")], silent=True)
    env = dict(os.environ, **case.env, SELFPATCH_RECORD_LEAVE="1",
               SELFPATCH_RECORD_WAIT=kit.to_windows(go))
    process = subprocess.Popen(["wine", str(kit.RUNWAIT), kit.to_windows(installer)],
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
                               env=env)
    unpacked = None
    try:
        for _ in range(600):
            if case.record("rec.exe"):
                break
            time.sleep(0.1)
        [seen] = case.record("rec.exe")
        unpacked = kit.to_unix(seen["cwd"])
        assert (unpacked / "left" / "deep" / "more.txt").exists()
        if while_waiting:
            while_waiting(unpacked)
    finally:
        go.write_bytes(b"")
        output = process.communicate(timeout=120)[0]
    return kit.runwait_code(output), unpacked


def test_whatever_a_follow_up_program_leaves_goes_with_the_unpack_folder(case):
    code, unpacked = run_leaving_files(case)
    assert code == 0
    assert not unpacked.exists()


def test_a_link_in_the_unpack_folder_is_never_followed(case):
    """A link out of the unpack folder, made from outside as a Unix link (Wine
    shows it as a reparse point, like a junction): what it points to stays.
    Wine removes such a link with no Windows call, so it alone is left behind;
    on Windows RemoveDirectory removes a junction itself."""
    outside = case.path("outside")
    outside.mkdir()
    (outside / "keep.txt").write_bytes(b"not the installer's")
    code, unpacked = run_leaving_files(
        case, lambda folder: os.symlink(outside, folder / "outside"))
    assert code == 0
    assert (outside / "keep.txt").read_bytes() == b"not the installer's"
    assert sorted(p.name for p in unpacked.iterdir()) == ["outside"]
    (unpacked / "outside").unlink()  # for the check that no unpack folder is left
    unpacked.rmdir()
