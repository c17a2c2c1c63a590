"""The installer finds the product through the registry and closes the product's
running applications before it touches a file, under Wine with the real
timeouts.

The product folders here are on no search path, so in silent mode the installer
finds them through the registry or not at all. The running applications are
classapp.exe instances with window classes of their own.
"""
import shutil
import subprocess
import time

import pytest

import kit
from boxes import run_with_boxes, screenshot

UNINSTALL = r"HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall"
CLASSAPP = kit.WIN_BIN / "classapp.exe"

TEXTS = {
    "0": "Demo", "1": "1.0", "2": "2.0", "5": "%s %s update", "6": "Update %s %s to %s?%s",
    "7": "%s %s finished", "8": "%s %s incomplete", "15": "Closing %s",
    "21": "Please close %s, then press OK.", "22": "%s could not be closed.",
    "23": "missing %s", "25": "other version %s", "37": "%s %s: restart Windows",
}
OLD = b"".join(b"line %04d of the first version\r\n" % i for i in range(400))
NEW = OLD.replace(b"line 0100", b"LINE 0100") + b"added in the second version\r\n"


class Product:
    """Version 1 of app.exe in a folder of its own, and the registry keys that
    name it; the keys are removed again by `remove`."""

    def __init__(self, case, folder):
        self.case = case
        self.name = "SelfpatchTest." + case.dir.name[-40:]
        self.folder = folder
        self.folder.mkdir(parents=True, exist_ok=True)
        self.app.write_bytes(OLD)
        self.keys = []

    @property
    def app(self):
        return self.folder / "app.exe"

    @property
    def win(self):
        return kit.to_windows(self.folder)

    def add_value(self, key, name, data, kind="REG_SZ"):
        if key not in self.keys:
            self.keys.append(key)
        kit.reg("add", key, "/v", name, "/t", kind, "/d", data)

    def uninstall_entry(self, **values):
        for name, data in values.items():
            self.add_value(UNINSTALL + "\\" + self.name, name, data)
        return self.name

    def installer(self, texts, silent=True):
        (self.case.dir / "old").write_bytes(OLD)
        (self.case.dir / "new").write_bytes(NEW)
        patch = kit.assemble({"texts": dict(TEXTS, **texts),
                              "records": [{"name": "app.exe", "old": {"file": "old"},
                                           "new": {"file": "new"}}]},
                             self.case.path("update.dif"))
        return kit.pack(patch, self.case.path("setup.exe"), silent=silent)

    def remove(self):
        for key in self.keys:
            kit.reg("delete", key, check=False)


@pytest.fixture
def product(case):
    made = []

    def make(folder=None):
        item = Product(case, folder or case.path("product"))
        made.append(item)
        return item

    yield make
    for item in made:
        item.remove()


class RunningApp:
    """classapp.exe with a window of `class_name`, started and waited for."""

    def __init__(self, case, class_name, *args):
        ready = case.path(class_name + ".ready")
        self.process = subprocess.Popen(
            ["wine", str(CLASSAPP), class_name, *args, "--ready", kit.to_windows(ready)],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for _ in range(1000):
            if ready.exists() or self.process.poll() is not None:
                break
            time.sleep(0.02)
        assert ready.exists(), "classapp did not come up"

    def running(self):
        try:
            self.process.wait(timeout=0.2)
        except subprocess.TimeoutExpired:
            return True
        return False

    def stop(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()


@pytest.fixture
def apps(case):
    started = []

    def start(class_name, *args):
        app = RunningApp(case, class_name, *args)
        started.append(app)
        return app

    yield start
    for app in started:
        app.stop()


# ---- finding the product through the registry -------------------------------

def test_uninstall_entry_names_the_product_folder(product, case):
    item = product()
    entry = item.uninstall_entry(
        DisplayIcon=item.win + r"\app.exe",
        InstallLocation=item.win + "\\",
        UninstallString='"%s\\unins000.exe" /x' % item.win)
    assert kit.exit_code(item.installer({"3": "Other.Product;" + entry})) == 0
    assert item.app.read_bytes() == NEW

    # Without an entry that names it, silent mode does not find the product;
    # the missing file counts, so the run does not end as updated.
    item.app.write_bytes(OLD)
    assert kit.exit_code(item.installer({"3": "SelfpatchTest.Missing"})) == 107
    assert item.app.read_bytes() == OLD


def test_install_path_key_read_as_key_and_value_name(product):
    item = product()
    key = r"Software\%s\Product" % item.name
    item.add_value("HKCU\\" + key, "Path", item.win + r"\app.exe")
    assert kit.exit_code(item.installer({"9": key + r"\Path"})) == 0
    assert item.app.read_bytes() == NEW


def test_expandable_value_names_a_folder_under_program_files(product, case):
    # A 32-bit program in a 64-bit prefix sees %ProgramFiles% as "Program Files
    # (x86)"; the 64-bit test twin sees "Program Files".
    folder = kit.DRIVE_C / kit.PROGRAM_FILES / ("sp-" + case.dir.name[-40:])
    item = product(folder)
    try:
        key = UNINSTALL + "\\" + item.name
        item.add_value(key, "InstallLocation", "1", kind="REG_DWORD")
        item.add_value(key, "DisplayIcon", r"%%ProgramFiles%%\%s\app.exe,0" % folder.name,
                       kind="REG_EXPAND_SZ")
        assert kit.exit_code(item.installer({"3": item.name})) == 0
        assert item.app.read_bytes() == NEW
    finally:
        shutil.rmtree(folder, ignore_errors=True)


# ---- closing the running applications ---------------------------------------

def closing_texts(item, *pairs):
    texts = {"3": item.uninstall_entry(InstallLocation=item.win)}
    for index, (class_name, display) in enumerate(pairs):
        if class_name is not None:
            texts[str(40 + 2 * index)] = class_name
        if display is not None:
            texts[str(41 + 2 * index)] = display
    return texts


def test_silent_run_closes_the_application_that_holds_the_file(product, apps, case):
    item = product()
    editor = apps("SpEditor", "close", "--hold", kit.to_windows(item.app))
    later = apps("SpLater", "close")
    texts = closing_texts(item, ("SpEditor", "Editor"), (None, "No class"), ("SpLater", "F:Later"))
    start = time.monotonic()
    assert kit.exit_code(item.installer(texts)) == 0
    assert not editor.running()
    # Closed before the update: the file was replaced now, not at a restart.
    assert item.app.read_bytes() == NEW
    # The list ended at the pair without a class.
    assert later.running()
    # The real timeouts, but an application that ends at once is not waited for.
    assert time.monotonic() - start < 15


def test_user_asked_twice_then_the_application_is_closed(product, apps):
    item = product()
    editor = apps("SpEditor", "close", "--hold", kit.to_windows(item.app))
    texts = closing_texts(item, ("SpEditor", "Editor"))
    shot = kit.ROOT / "build" / "artifacts" / "close-question.png"
    shot.parent.mkdir(parents=True, exist_ok=True)
    run = run_with_boxes(item.installer(texts, silent=False),
                         script=["Yes", ("OK", lambda box: screenshot(shot)), "OK", "OK"])
    assert run.exit_code == 0
    assert run.texts[1:3] == ["Please close Editor, then press OK."] * 2
    # The application came to the front for the question; the question itself
    # is never drawn under the progress window that owns it.
    assert [box.above_progress for box in run.boxes] == [True] * 4
    assert [box.buttons for box in run.boxes[1:3]] == [["OK", "Cancel"]] * 2
    assert run.texts[3] == "Demo 2.0 finished"
    assert not editor.running()
    assert item.app.read_bytes() == NEW


def test_cancel_ends_the_run_with_106_before_any_file_is_touched(product, apps):
    item = product()
    editor = apps("SpEditor", "close")
    texts = closing_texts(item, ("SpEditor", None))
    run = run_with_boxes(item.installer(texts, silent=False), script=["Yes", "Cancel"])
    assert run.exit_code == 106
    # Without a display name the question names the product.
    assert run.texts[1] == "Please close Demo, then press OK."
    assert editor.running()
    assert item.app.read_bytes() == OLD
