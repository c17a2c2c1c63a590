"""The installer's launcher under Wine: switches, the payload container,
unpacking into a private folder and cleaning up, exit codes 1 and 2."""
import zlib

import pytest

import boxes
import kit
from kit import entry

pytestmark = pytest.mark.usefixtures("no_leftovers")


def test_as_built_the_placeholder_is_a_data_error():
    assert kit.exit_code(kit.SFX, "/s") == 1
    # Without /s the launcher shows string 1; without a display the box fails at once.
    assert kit.exit_code(kit.SFX, display=False) == 1


def good_patch_bytes(case):
    return kit.simple_patch(case, "good.dif").read_bytes()


DAMAGED = {
    "name without NUL": lambda good: entry("arg00") + b"b.dif",
    "length word cut": lambda good: entry("arg00") + b"b.dif\0\x05\x00",
    "last entry one byte too long": lambda good: entry("arg00") + entry("b.dif", good)[:-1],
    "length beyond the end": lambda good: entry("arg00") + entry("b.dif", data=b"x",
                                                                  length=0xFFFFFFFF),
    "empty name with data": lambda good: entry("arg00") + entry("", good),
    "name ..": lambda good: entry("arg00") + entry("..", good),
    "name .": lambda good: entry("arg00") + entry(".", b"x"),
    "parent path": lambda good: entry("arg00") + entry("..\\escape.dif", good),
    "sub folder": lambda good: entry("arg00") + entry("sub/x.dif", good),
    "drive": lambda good: entry("arg00") + entry("C:escape.dif", good),
    "command line of 300": lambda good: entry("arg00") + entry("a" * 290 + ".dif", good),
    "deflate data error": lambda good: entry("arg00") + entry("b.dif", data=b"\x78\x9c garbage"),
    "truncated stream": lambda good: entry("arg00") + entry("b.dif", data=zlib.compress(
        good)[:-6]),
}


@pytest.mark.parametrize("damage", DAMAGED)
def test_damaged_containers_end_with_code_1_and_leave_nothing(case, damage):
    good = good_patch_bytes(case)
    # A good first entry shows that files unpacked before the fault go too.
    payload = entry("first.txt", b"unpacked first") + DAMAGED[damage](good)
    installer = kit.pack_raw(payload, case.path("setup.exe"))
    assert kit.exit_code(installer, "/s") == 1
    assert not (case.dir.parent / "escape.dif").exists()
    assert not (kit.wine_temp().parent / "escape.dif").exists()


def test_longest_command_line_that_fits_is_accepted(case):
    # "arg00 /s " and the name: 299 characters.
    name = "a" * 286 + ".dif"
    payload = entry("arg00") + entry(name)  # length 0: the patch cannot be opened
    installer = kit.pack_raw(payload, case.path("setup.exe"))
    assert kit.exit_code(installer, "/s") == 101


def test_own_size_not_a_multiple_of_4_is_a_data_error(case):
    installer = kit.pack(kit.simple_patch(case), case.path("setup.exe"), silent=True)
    assert kit.exit_code(installer) == 0
    with open(installer, "ab") as f:
        f.write(b"\0\0")
    assert kit.exit_code(installer) == 1


def test_unwritable_output_is_code_2_and_is_cleaned_up(case):
    # A name that no file can have; the file unpacked before it goes too.
    payload = entry("arg00") + entry("first.txt", b"x") + entry("a*b.dif", b"data")
    installer = kit.pack_raw(payload, case.path("setup.exe"))
    assert kit.exit_code(installer, "/s") == 2
    assert kit.exit_code(installer, display=False) == 2  # string 2's box fails without display


SWITCHES = [
    # (command-line arguments, preset switch area, silent expected)
    (["/s"], None, True),
    (["/S"], None, True),
    (["-s"], None, True),
    (["/sx"], None, False),
    (["/x", "-S"], None, True),
    ([], " /s", True),
    ([], " -S", True),
    ([], "/s", False),     # a leading switch in the area is not seen (written by hand)
    ([], " /sx", False),
]


@pytest.mark.parametrize("args,area,silent", SWITCHES)
def test_switches_from_the_command_line_and_the_header(case, args, area, silent):
    # Key 6 is empty: a run that is not silent answers the confirmation with 0
    # and ends with 104 without showing anything.
    patch = kit.simple_patch(case)
    installer = kit.pack(patch, case.path("setup.exe"))
    if area is not None:
        kit.preset_switch_area(installer, area)
    expected = 0 if silent else 104
    assert kit.exit_code(installer, *args, display=False) == expected


def test_leading_switch_on_the_command_line_is_not_seen(case):
    installer = kit.pack(kit.simple_patch(case), case.path("setup.exe"))
    assert kit.exit_code(None, "/s", application=installer, display=False) == 104
    assert kit.exit_code(None, "setup", "/s", application=installer, display=False) == 0


def test_kill_parent_ends_the_starting_program(case):
    # runwait -> runwait -> installer: the inner runwait is the installer's
    # parent. Ended by /k it reports exit code 0 to the outer one instead of
    # the installer's own code (1: damaged payload).
    installer = kit.pack_raw(entry("arg00") + b"x", case.path("setup.exe"))
    assert kit.exit_code(kit.RUNWAIT, kit.to_windows(installer), "/s") == 1
    assert kit.exit_code(kit.RUNWAIT, kit.to_windows(installer), "/s", "/k") == 0
    preset = kit.pack_raw(entry("arg00") + b"x", case.path("preset.exe"), switches=" /s /k")
    assert kit.exit_code(kit.RUNWAIT, kit.to_windows(preset)) == 0


LAUNCHER_TEXTS = {
    # (locale, string id): the text of the launcher's own box
    ("en", 1): "Irregal data found.\nPlease try to download again.",
    ("en", 2): "Unexpected error",
    ("ja", 1): "アップデートプログラムのデータエラーです。\nもう一度ダウンロードして下さい。",
    ("ja", 2): "原因不明なエラーです。\nウィルス対策ソフトを一時停止して再度実行してください。",
}


@pytest.mark.parametrize("locale,code", [("en", 1), ("en", 2), ("ja", 1), ("ja", 2)])
def test_launcher_box_shows_its_own_text_in_the_users_language(case, locale, code):
    payload = entry("arg00") + (b"x" if code == 1 else entry("a*b.dif", b"data"))
    installer = kit.pack_raw(payload, case.path("setup.exe"))
    env = boxes.JAPANESE_LOCALE if locale == "ja" else {"LC_ALL": "en_US.UTF-8"}
    run = boxes.run_with_boxes(installer, script=["OK"], env=env)
    assert run.exit_code == code
    [box] = run.boxes
    assert box.caption == "Error"
    assert box.icon == "error" and box.buttons == ["OK"]
    assert box.text.replace("\r\n", "\n") == LAUNCHER_TEXTS[(locale, code)]


def test_launcher_box_is_not_shown_when_silent(case):
    installer = kit.pack_raw(entry("arg00") + b"x", case.path("setup.exe"))
    run = boxes.run_with_boxes(installer, ["/s"])
    assert run.exit_code == 1
    assert run.showed_nothing
