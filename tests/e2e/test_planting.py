"""Files laid in wait for the installer: a library under a system library's name
or a program under a payload entry's name, beside the installer or in the
temporary folder, is never loaded or started; the unpack folder is a new one
with an unguessable name, never a folder that was there before, and it goes."""
import shutil

import pytest

import kit

pytestmark = pytest.mark.usefixtures("no_leftovers")

PLANT = kit.WIN_BIN / "plant.dll"
# Loaded at run time, once the installer shows a window (the static imports are
# bound before any of its code runs, and resolved by the system for them).
LATE_LIBRARIES = ["uxtheme.dll"]
# Wine prefers its own builtin libraries: told to prefer a native one, it loads
# a planted copy wherever the search for that library finds one.
NATIVE_FIRST = {"WINEDLLOVERRIDES": ";".join(name[:-4] + "=n,b" for name in LATE_LIBRARIES)}


def plant_libraries(folder):
    for name in LATE_LIBRARIES:
        shutil.copyfile(PLANT, folder / name)
    return [folder / name for name in LATE_LIBRARIES]


def planted_log(case):
    log = case.path("planted.log")
    return log.read_text().splitlines() if log.exists() else []


def test_library_planted_beside_the_installer_or_in_temp_is_never_loaded(case):
    env = {**case.env, **NATIVE_FIRST}
    planted = plant_libraries(case.dir) + plant_libraries(kit.wine_temp())
    try:
        # The plant is live: a program that does not restrict its library
        # search, with a window, beside the same files, loads it.
        shutil.copyfile(kit.WIN_BIN / "classapp.exe", case.path("classapp.exe"))
        kit.exit_code(case.path("classapp.exe"), "SpPlantCheck", "close", "--life", "300", env=env)
        assert planted_log(case), "the planted library was not loaded by an unprotected program"
        case.path("planted.log").unlink()

        # Not silent: the progress window and a box, the points where the
        # system loads more libraries. Key 6 is empty: the run ends with 104.
        patch = kit.simple_patch(case, texts={"0": "P", "2": "2", "5": "%s %s",
                                              "6": "", "7": "done"})
        installer = kit.pack(patch, case.path("setup.exe"))
        assert kit.exit_code(installer, env=env) == 104
        assert kit.exit_code(installer, "/s", env=env) == 0
        assert planted_log(case) == []
    finally:
        for path in planted:
            path.unlink(missing_ok=True)


def test_programs_and_patch_planted_under_payload_names_are_never_used(case):
    patch = kit.simple_patch(case, "own.dif")
    recorder = case.recorder("rec.exe")  # lies beside setup.exe as well
    installer = kit.pack(patch, case.path("setup.exe"), runs=[recorder], silent=True)
    temp = kit.wine_temp()
    planted = [temp / "rec.exe", temp / "own.dif", case.path("own.dif")]
    shutil.copyfile(recorder, temp / "rec.exe")
    size = patch.stat().st_size
    # A patch that would fail if it were read: no magic.
    for path in planted[1:]:
        path.write_bytes(b"0:Planted\0")
    try:
        assert kit.exit_code(installer, env=case.env) == 0
        [seen] = case.record("rec.exe")
        folder = kit.to_unix(seen["cwd"])
        assert kit.UNPACK_FOLDER.match(folder.name) and folder.parent == temp
        assert seen["module"] == seen["cwd"] + "\\rec.exe"
        assert seen["files"]["own.dif"] == size
    finally:
        for path in planted[:2]:
            path.unlink(missing_ok=True)


def test_unpack_folder_is_new_each_run_and_never_one_that_was_there(case):
    recorder = case.recorder("rec.exe")
    installer = kit.pack(kit.simple_patch(case), case.path("setup.exe"), runs=[recorder],
                         silent=True)
    assert kit.exit_code(installer, env=case.env) == 0
    first = kit.to_unix(case.record("rec.exe")[0]["cwd"])
    assert not first.exists()

    # The folder of the last run, laid in wait with a program of the payload's
    # name in it: the next run makes a folder of its own and leaves this one be.
    first.mkdir()
    shutil.copyfile(recorder, first / "rec.exe")
    try:
        assert kit.exit_code(installer, env=case.env) == 0
        runs = case.record("rec.exe")
        assert len(runs) == 2
        second = kit.to_unix(runs[1]["cwd"])
        assert second != first and not second.exists()
        assert kit.UNPACK_FOLDER.match(second.name)
        assert sorted(p.name for p in first.iterdir()) == ["rec.exe"]
    finally:
        shutil.rmtree(first, ignore_errors=True)
