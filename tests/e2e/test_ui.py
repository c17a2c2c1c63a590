"""The installer talks to the user: confirmation, progress window, error boxes,
final report, silent mode and Japanese texts, answered by boxbot."""

import subprocess

import pytest

from boxes import JAPANESE_LOCALE, expected_progress_rect, run_with_boxes, screenshot
from kit import ROOT, assemble, make_case, pack

ARTIFACTS = ROOT / "build" / "artifacts"

# The texts of an English patch; each test changes what it looks at.
TEXTS = {
    "0": "Product", "1": "1.0", "2": "2.0", "4": "",
    "5": "%s %s Update",
    "6": "Update %s from %s to %s?%s",
    "7": "%s %s: the update is finished.",
    "8": "%s %s: some files were not updated.",
    "10": "Looking for running copies of %s",
    "11": "Looking for the installed %s",
    "12": "Updating",
    "14": "The update has ended",
    "32": "The update data is damaged: %s",
    "37": "Restart Windows to finish %s %s.",
}

# A file that is not installed, optional and never created: with no product
# folder known the folder browser is offered for it (cancelled in these runs),
# then processing passes over it quietly.
ABSENT_OPTIONAL = {"name": "absent.dll", "flags": 4 | 8, "old": "old bytes",
                   "new": "new bytes"}


def make_installer(request, texts, *, records=(ABSENT_OPTIONAL,), codepage=None, silent=False,
                   extra=None):
    case = make_case(request.node.name)
    description = {"texts": texts, "records": list(records)}
    if codepage:
        description["codepage"] = codepage
    description.update(extra or {})
    patch = assemble(description, case.path("update.dif"))
    return pack(patch, case.path("setup.exe"), silent=silent)


def in_order(expected, seen):
    """True when `expected` appears within `seen` in this order."""
    position = iter(seen)
    return all(any(text == item for item in position) for text in expected)


def test_confirmed_run_shows_progress_steps_and_the_final_report(request):
    installer = make_installer(request, TEXTS)
    run = run_with_boxes(installer, script=["Yes", "Cancel", "OK"])

    assert run.exit_code == 0
    confirm, _, report = run.boxes
    assert all(box.above_progress for box in run.boxes)  # never drawn under it
    assert (confirm.caption, confirm.text) == ("Product 2.0 Update",
                                               "Update Product from 1.0 to 2.0?")
    assert (confirm.style, confirm.owner) == (36, "progress")
    assert (report.caption, report.text) == ("Product 2.0 Update",
                                             "Product 2.0: the update is finished.")
    assert (report.style, report.owner) == (64, "progress")

    # The caption is the first text; the steps follow in their order.
    assert run.hooks
    assert run.progress_texts[0] == "Product 2.0 Update"
    assert in_order(["Product 2.0 Update", "Looking for the installed Product",
                     "Looking for running copies of Product", "Updating",
                     "The update has ended"], run.progress_texts), run.progress_texts
    assert confirm.progress.text == "Product 2.0 Update"
    assert report.progress.text == "The update has ended"

    # One window for the whole run: titled once, a third of its height above centre.
    window = run.progress[0]
    assert window.visible and window.title == "Product 2.0 Update"
    assert {p.rect for p in run.progress} == {window.rect}
    expected = expected_progress_rect(run, window.width, window.height)
    assert all(abs(a - b) <= 1 for a, b in zip(window.rect, expected)), (window.rect, expected)


def test_declined_confirmation_ends_with_104_before_any_step(request):
    installer = make_installer(request, TEXTS)
    run = run_with_boxes(installer, script=["No"])
    assert run.exit_code == 104
    assert [box.text for box in run.boxes] == ["Update Product from 1.0 to 2.0?"]
    assert run.progress_texts == ["Product 2.0 Update"]


def test_empty_confirmation_ends_with_104_without_a_box(request):
    installer = make_installer(request, {**TEXTS, "6": ""})
    run = run_with_boxes(installer)
    assert run.exit_code == 104
    assert run.boxes == []
    assert run.progress_texts == ["Product 2.0 Update"]


@pytest.mark.parametrize("how", ["command line", "packed switch"])
def test_silent_mode_creates_no_window_and_shows_nothing(request, how):
    if how == "command line":
        installer, args = make_installer(request, TEXTS), ["/s"]
    else:
        installer, args = make_installer(request, TEXTS, silent=True), []
    run = run_with_boxes(installer, args)
    assert run.exit_code == 0
    assert run.hooks
    assert run.showed_nothing, (run.boxes, run.progress, run.created)


def test_damaged_header_shows_key_32_with_the_patch_path(request):
    # Key 32 stands before the fault (a key above 49), so its text is known.
    texts = {"5": "%s %s Update", "0": "Product", "2": "2.0",
             "32": "The update data is damaged: %s"}
    installer = make_installer(request, texts, extra={"entries": [{"key": "50", "text": "x"}]})
    run = run_with_boxes(installer, script=["OK"])
    assert run.exit_code == 103
    (box,) = run.boxes
    assert box.style == 16
    assert box.text.startswith("The update data is damaged: ")
    assert box.text.lower().endswith("update.dif")
    # The caption is still the program's own path: the header never finished.
    assert box.caption.lower().endswith(".exe")
    assert box.owner == "none" and run.progress == []


def test_damaged_header_without_key_32_shows_nothing(request):
    installer = make_installer(request, {"0": "Product"},
                               extra={"entries": [{"key": "50", "text": "x"}]})
    run = run_with_boxes(installer)
    assert run.exit_code == 103
    assert run.showed_nothing


def test_japanese_texts_in_code_page_932(request):
    texts = {
        "0": "製品", "1": "1.0", "2": "2.0", "4": "",
        "5": "%s %s アップデート",
        "6": "%sを%sから%sに更新します。よろしいですか?%s",
        "7": "%s %sへの更新が完了しました。",
        "11": "インストール済みの%sを確認しています",
        "10": "実行中の%sを確認しています",
        "12": "更新しています",
        "13": "%sを更新中です",
        "14": "更新が終了しました",
    }
    installer = make_installer(request, texts, codepage=932)
    shots = {"progress": ARTIFACTS / "progress-ja.png",
             "report": ARTIFACTS / "progress-and-report-ja.png"}
    run = run_with_boxes(
        installer, script=["Yes", "Cancel", ("OK", lambda box: screenshot(shots["report"]))],
        env=JAPANESE_LOCALE,
        on_progress={"更新しています": lambda progress: screenshot(shots["progress"])})

    assert run.exit_code == 0
    confirm, _, report = run.boxes
    assert confirm.caption == "製品 2.0 アップデート"
    assert confirm.text == "製品を1.0から2.0に更新します。よろしいですか?"
    assert report.text == "製品 2.0への更新が完了しました。"
    assert run.progress[0].title == "製品 2.0 アップデート"
    assert in_order(["製品 2.0 アップデート", "インストール済みの製品を確認しています",
                     "実行中の製品を確認しています", "更新しています", "更新が終了しました"],
                    run.progress_texts), run.progress_texts
    # The program was held with "更新しています" on screen, before it went on to
    # the next text: the screen shows that text, centred, although no message
    # loop ran after it was set.
    left, top, right, bottom = run.progress[0].rect
    client = (left + 5, top + (bottom - top) // 4, right - 5, bottom - 5)
    ink_left, ink_width = ink_columns(shots["progress"], client)
    width = client[2] - client[0]
    assert abs(ink_left - (width - ink_left - ink_width)) <= 4, (ink_left, ink_width, width)
    assert 0 < ink_width < 0.45 * width, (ink_width, width)  # the short text, not the last
    assert shots["report"].stat().st_size > 0


def ink_columns(png, box):
    """Left edge and width of what differs from the background inside box."""
    left, top, right, bottom = box
    out = subprocess.run(["convert", png, "-crop", f"{right - left}x{bottom - top}+{left}+{top}",
                          "+repage", "-fuzz", "20%", "-trim", "-format", "%X %w", "info:"],
                         check=True, capture_output=True, text=True).stdout.split()
    return int(out[0]), int(out[1])


def test_texts_full_of_conversions_are_shown_safely(request):
    # Conversions without an argument (%n, %p, and any beyond what a key takes)
    # are shown as written; arguments are never formatted again; a huge width
    # is cut to the text buffer.
    texts = {
        "0": "P%n", "1": "1%s", "2": "2%p", "4": "",
        "5": "%s %s %n %p %99999s",
        "6": "Update %s from %s to %s?%s then %s %n %p %x %d",
        "7": "%-99999s|%s",
        "11": "%s %s %n", "10": "%n%p%s%s", "12": "%s %d %n", "14": "%p%s",
    }
    installer = make_installer(request, texts)
    run = run_with_boxes(installer, script=["Yes", "Cancel", "OK"])
    assert run.exit_code == 0
    confirm, _, report = run.boxes
    assert confirm.caption == "P%n 2%p %n %p %99999s"
    assert confirm.text == "Update P%n from 1%s to 2%p? then %s %n %p %x %d"
    assert report.text.startswith("P%n ") and len(report.text) == 1023
    assert set(report.text[3:]) == {" "}  # cut inside the padding, before "|"
    assert in_order(["P%n 2%p %n %p %99999s", "P%n %s %n", "%n%pP%n%s", "%s %d %n", "%p%s"],
                    run.progress_texts), run.progress_texts
