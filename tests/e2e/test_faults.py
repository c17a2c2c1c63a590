"""Faults from outside during a real update under Wine: a full disk, a folder
that cannot be written, a target removed under the installer, a follow-up
program that does not start, and a patch file that others try to delete or
cut while it is mapped. Each run ends with its message and exit code, and every
target is left at its old or its new version.

The product folder is on the program search path (WINEPATH), where the
installer looks when the registry names no install folder. Runs that must be
held at a given step use the kill-point build (killpoints.py).
"""
import random
import shutil
import subprocess
from pathlib import Path

import pytest

import kit
import killpoints
from boxes import run_with_boxes

TEXTS = {
    "0": "Demo", "1": "1.0", "2": "2.0", "5": "%s %s update", "6": "Update %s %s to %s?%s",
    "7": "%s %s finished", "8": "%s %s incomplete", "26": "cannot open %s (%u)",
    "27": "cannot map %s (%u)", "28": "cannot create %s", "29": "failed %s",
    "30": "rename %s to %s", "31": "not updated %s %s", "36": "up to date",
}

rng = random.Random(7)
OLD = rng.randbytes(4096)
NEW = OLD[:1000] + rng.randbytes(200_000) + OLD[1000:]


def update(case, product: Path, records, name="update.exe", runs=(), stub=kit.SFX):
    """An installer of the patch that RECORDS describe (versions "old" and "new"
    in the case folder) for the product in PRODUCT, and its environment."""
    case.path("old").write_bytes(OLD)
    case.path("new").write_bytes(NEW)
    patch = kit.assemble({"texts": TEXTS, "records": records}, case.path("update.dif"))
    exe = kit.pack(patch, case.path(name), runs=runs, stub=stub)
    return exe, {"WINEPATH": kit.to_windows(product)}


DELTA = [{"name": "tool.dll", "old": {"file": "old"}, "new": {"file": "new"}}]
FULL = [{"name": "tool.dll", "content": {"file": "new"}}]


def mount(kind_options: list, folder: Path):
    folder.mkdir(parents=True, exist_ok=True)
    result = subprocess.run(["mount", "-t", "tmpfs", *kind_options, "tmpfs", str(folder)],
                            capture_output=True, text=True)
    if result.returncode != 0:
        pytest.skip(f"cannot mount a tmpfs here: {result.stderr.strip()}")


def umount(folder: Path):
    subprocess.run(["umount", str(folder)], check=True)


@pytest.fixture
def small_drive(case):
    """Drive T: of the prefix on a 64 KiB tmpfs."""
    folder = case.path("small-drive")
    mount(["-o", "size=64k"], folder)
    link = kit.PREFIX / "dosdevices" / "t:"
    link.unlink(missing_ok=True)
    link.symlink_to(folder)
    try:
        yield folder
    finally:
        link.unlink(missing_ok=True)
        umount(folder)


@pytest.mark.parametrize("records", [DELTA, FULL], ids=["delta", "full content"])
def test_disk_full_while_writing_the_temporary_file(case, small_drive, records, no_leftovers):
    product = small_drive / "product"
    product.mkdir()
    (product / "tool.dll").write_bytes(OLD)
    exe, env = update(case, product, records)
    env["WINEPATH"] = "T:\\product"
    run = run_with_boxes(exe, script=["Yes", "OK"], env=env)
    assert (run.exit_code, run.texts[-1]) == (107, "failed T:\\product\\tool.dll")
    # The short file was removed and the target is untouched.
    assert sorted(p.name for p in product.iterdir()) == ["tool.dll"]
    assert (product / "tool.dll").read_bytes() == OLD


def immutable(folder: Path, on: bool):
    result = subprocess.run(["chattr", "+i" if on else "-i", str(folder)], capture_output=True,
                            text=True)
    if on and result.returncode != 0:
        pytest.skip(f"chattr +i refused here: {result.stderr.strip()}")


def read_only_mount(folder: Path, on: bool):
    """Makes FOLDER a read-only tmpfs holding what it held."""
    if on:
        saved = folder.with_name(folder.name + ".saved")
        shutil.move(folder, saved)
        mount(["-o", "size=1m"], folder)
        shutil.copytree(saved, folder, dirs_exist_ok=True)
        shutil.rmtree(saved)
        subprocess.run(["mount", "-o", "remount,ro", str(folder)], check=True)
    else:
        umount(folder)


def read_only_attribute(folder: Path, on: bool):
    subprocess.run(["wine", "cmd", "/c", "attrib", "+r" if on else "-r", kit.to_windows(folder)],
                   check=True, capture_output=True)


# Root passes over Unix permissions, so a folder that root cannot write is
# either immutable or on a read-only mount; Wine honours both. The read-only
# attribute of a folder does not stop files from being created in it, under
# Wine as on Windows.
UNWRITABLE = {
    "immutable folder": (immutable, 107),
    "read-only mount": (read_only_mount, 107),
    "read-only attribute": (read_only_attribute, 0),
}


@pytest.mark.parametrize("kind", UNWRITABLE)
def test_a_folder_that_cannot_be_written(case, kind, no_leftovers):
    product = case.path("product")
    product.mkdir()
    target = product / "tool.dll"
    target.write_bytes(OLD)
    exe, env = update(case, product, DELTA)
    lock, code = UNWRITABLE[kind]
    lock(product, True)
    try:
        run = run_with_boxes(exe, script=["Yes", "OK"], env=env)
        kept = sorted(p.name for p in product.iterdir())
        content = target.read_bytes()
    finally:
        lock(product, False)
    if code == 0:
        assert (run.exit_code, run.texts[-1], content) == (0, "Demo 2.0 finished", NEW)
    else:
        temp = kit.to_windows(target) + ".~up"
        assert (run.exit_code, run.texts[-1], content) == (107, f"cannot create {temp}", OLD)
    assert kept == ["tool.dll"]


def logged_run(case, exe, env) -> list:
    """The calls that a silent run of the kill-point installer EXE makes."""
    log = case.path("kill.log")
    log.unlink(missing_ok=True)
    assert kit.exit_code(exe, "/s", env=dict(env, SP_KILL_LOG=kit.to_windows(log))) == 0
    return killpoints.logged_calls(log)


# Where the run is held while the target goes: before the temporary file is
# created (the installed copy is still open and mapped), or after the new
# content was written and the copy released, before the target is touched.
# A Windows program cannot delete the copy while the installer holds it (it is
# opened without delete sharing); a Unix program can. Either way the new
# content, built from the copy found, takes the place of the file.
REMOVALS = {
    "by a Windows program while mapped": ("CreateFile", "tool.dll.~up", "windows", 32),
    "by a Windows program once released": ("SetFileAttributes", "tool.dll", "windows", 0),
    "from outside Wine while mapped": ("CreateFile", "tool.dll.~up", "unix", 0),
    "from outside Wine once released": ("SetFileAttributes", "tool.dll", "unix", 0),
}


@pytest.mark.parametrize("kind", REMOVALS)
def test_target_removed_between_finding_and_replacing_it(case, kind, no_leftovers):
    change, suffix, remover, error = REMOVALS[kind]
    product = case.path("product")
    product.mkdir()
    target = product / "tool.dll"
    target.write_bytes(OLD)
    exe, env = update(case, product, DELTA, stub=killpoints.SFX)
    at = killpoints.first_call(logged_run(case, exe, env), change, suffix).number
    target.write_bytes(OLD)
    removal = {}

    def remove():
        if remover == "windows":
            removal["error"] = kit.exit_code(kit.WIN_BIN / "fileop.exe", "delete",
                                             kit.to_windows(target))
        else:
            target.unlink()
            removal["error"] = 0
        removal["gone"] = not target.exists()

    run = killpoints.run_paused(
        lambda pause: run_with_boxes(exe, script=["Yes", "OK"], env=dict(env, **pause)),
        at, case.path("paused"), remove)
    assert removal == {"error": error, "gone": error == 0}
    assert (run.exit_code, run.texts[-1]) == (0, "Demo 2.0 finished")
    assert sorted(p.name for p in product.iterdir()) == ["tool.dll"]
    assert target.read_bytes() == NEW


def test_a_follow_up_program_that_does_not_start_is_passed_over(case, no_leftovers):
    product = case.path("product")
    product.mkdir()
    (product / "tool.dll").write_bytes(OLD)
    broken = case.path("broken.exe")
    broken.write_bytes(b"this is not a program\r\n")
    recorder = case.recorder("after.exe")
    exe, env = update(case, product, DELTA, runs=[broken, recorder])
    run = run_with_boxes(exe, script=["Yes", "OK"], env=dict(env, **case.env))
    assert (run.exit_code, run.texts[-1]) == (0, "Demo 2.0 finished")
    assert (product / "tool.dll").read_bytes() == NEW
    # The program after it still ran, from the unpack folder.
    [seen] = case.record("after.exe")
    assert seen["module"].endswith("\\after.exe")
    assert "broken.exe" in seen["files"]


def test_the_mapped_patch_file_can_be_neither_deleted_nor_cut(case, no_leftovers):
    """Another program cannot delete or shorten the patch file while the
    installer has it mapped: Wine refuses both, as Windows does, so the patch
    cannot vanish or shrink under the installer and the update completes."""
    product = case.path("product")
    product.mkdir()
    target = product / "tool.dll"
    target.write_bytes(OLD)
    exe, env = update(case, product, DELTA, stub=killpoints.SFX)
    # Held before the first change to the product: the patch is mapped by then.
    at = killpoints.first_call(logged_run(case, exe, env), "CreateFile", "tool.dll.~up").number
    target.write_bytes(OLD)
    before = kit.unpack_folders()
    attempts = {}

    def meddle():
        [folder] = kit.unpack_folders() - before
        patch = kit.wine_temp() / folder / "update.dif"
        size = patch.stat().st_size
        windows = kit.to_windows(patch)
        attempts["delete"] = kit.exit_code(kit.WIN_BIN / "fileop.exe", "delete", windows)
        attempts["truncate"] = kit.exit_code(kit.WIN_BIN / "fileop.exe", "truncate", windows, "16")
        attempts["size"] = (patch.stat().st_size, size)

    code = killpoints.run_paused(
        lambda pause: kit.exit_code(exe, "/s", env=dict(env, **pause)), at,
        case.path("paused"), meddle)
    sharing_violation, user_mapped_file = 32, 1224
    assert attempts["delete"] == sharing_violation
    assert attempts["truncate"] == user_mapped_file
    assert attempts["size"][0] == attempts["size"][1]
    assert (code, target.read_bytes()) == (0, NEW)
