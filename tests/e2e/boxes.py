"""Runs a Windows program under boxbot, which reads and answers its dialogs.

    run = run_with_boxes(installer, ["/s"], script=["Yes", ("OK", shoot)])
    run.exit_code, run.boxes, run.progress

A script step is a button name ("Yes", "No", "OK", "Cancel", ...) or a tuple
(button, action): the action is called with the Box while it is on screen (for a
screenshot, say) and the button is pressed after it returns. `on_progress` maps
progress texts to actions in the same way: while the window shows that text,
the program is held at the moment it goes to replace it, until the action
returns. A box that no step expects, or that lacks the button its step names,
is answered with Cancel, else No, else OK, and fails the run; so does a timeout or a step left unused, unless the caller
allows it.

Must run inside scripts/with-wine.sh (a display, a prefix, a running server).
"""

from __future__ import annotations

import json
import os
import subprocess
import threading
from dataclasses import dataclass, field
from pathlib import Path
from typing import Optional, Sequence, Union

from kit import WIN_BIN, as_windows

BOXBOT = WIN_BIN / "boxbot.exe"

# The code page of the program's texts follows its Unix locale under Wine.
JAPANESE_LOCALE = {"LC_ALL": "ja_JP.UTF-8"}

Step = Union[str, tuple]


@dataclass
class Progress:
    """The progress window as boxbot saw it."""

    title: str
    text: str
    rect: tuple  # left, top, right, bottom in screen pixels
    visible: bool
    foreground: bool

    @property
    def width(self) -> int:
        return self.rect[2] - self.rect[0]

    @property
    def height(self) -> int:
        return self.rect[3] - self.rect[1]

    @classmethod
    def from_json(cls, data: Optional[dict]) -> Optional["Progress"]:
        if data is None:
            return None
        return cls(data["title"], data["text"], tuple(data["rect"]), data["visible"],
                   data["foreground"])


@dataclass
class Box:
    """One dialog of the program, as shown, and the button pressed."""

    index: int
    kind: str  # "message" for message boxes, "dialog" for others
    caption: str
    text: str
    icon: str  # error, question, warning, information, none or unknown
    buttons: list
    owner: str  # progress, none or other
    progress: Optional[Progress]  # the progress window while the box was up
    above_progress: Optional[bool]  # in the system's window order (None: no progress window)
    expected: bool
    answer: str

    @classmethod
    def from_json(cls, data: dict) -> "Box":
        return cls(data["index"], data["kind"], data["caption"], data["text"], data["icon"],
                   list(data["buttons"]), data["owner"], Progress.from_json(data["progress"]),
                   data["above_progress"], data["expected"], data["answer"])

    @property
    def style(self) -> Optional[int]:
        """The message box style that these buttons and this icon come from
        (None for other buttons or an icon not recognised)."""
        buttons = {
            ("OK",): 0, ("OK", "Cancel"): 1, ("Yes", "No", "Cancel"): 3, ("Yes", "No"): 4,
        }.get(tuple(self.buttons))
        icons = {"none": 0, "error": 16, "question": 32, "warning": 48, "information": 64}
        if buttons is None or self.icon not in icons:
            return None
        return buttons + icons[self.icon]


@dataclass
class BoxRun:
    exit_code: Optional[int]
    boxes: list = field(default_factory=list)
    progress: list = field(default_factory=list)  # every text set (hooks), in order
    windows: list = field(default_factory=list)  # other top-level windows (class, title)
    created: list = field(default_factory=list)  # classes of top-level windows created
    hooks: bool = False  # True: `progress` holds every text set, in order
    events: list = field(default_factory=list)  # boxbot's raw log
    timed_out: bool = False
    unused: int = 0
    workarea: tuple = (0, 0, 0, 0)

    @property
    def texts(self) -> list:
        return [box.text for box in self.boxes]

    @property
    def last_progress(self) -> Optional[Progress]:
        return self.progress[-1] if self.progress else None

    @property
    def progress_texts(self) -> list:
        return [progress.text for progress in self.progress]

    @property
    def showed_nothing(self) -> bool:
        """No dialog was created or shown, and no other window was shown."""
        return (not self.boxes and not self.progress and not self.windows
                and "#32770" not in self.created)


class BoxRunError(AssertionError):
    pass


def pick_folder(path: Union[str, Path], button: str = "OK") -> str:
    """A step for the folder browser: selects PATH (a Unix path, or a Windows
    path) and presses BUTTON."""
    return f"{button}+folder={as_windows(path).encode('utf-8').hex()}"


def _normalise(step: Step) -> tuple:
    if isinstance(step, str):
        return step, None
    if len(step) == 1:
        return step[0], None
    return step[0], step[1]


def run_with_boxes(program: Union[str, Path], args: Sequence[str] = (),
                   script: Sequence[Step] = (), *, timeout: float = 60,
                   env: Optional[dict] = None, cwd: Union[str, Path, None] = None,
                   allow_unexpected: bool = False, allow_unused: bool = False,
                   on_progress: Optional[dict] = None) -> BoxRun:
    """Starts `program` (a Unix path or a Windows path) with `args` under boxbot,
    answers its dialogs with `script`, and returns what was shown and the exit code."""
    steps = [_normalise(step) for step in script]
    command = ["wine", str(BOXBOT), "--timeout", str(timeout)]
    for button, action in steps:
        command += ["--answer", button + ("+hold" if action else "")]
    program_path = as_windows(program)
    on_progress = on_progress or {}
    for text in on_progress:
        command += ["--hold-progress", text.encode("utf-8").hex()]
    command += ["--", program_path, *args]
    environment = dict(os.environ)
    environment.update(env or {})
    process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL, env=environment,
                               cwd=str(cwd) if cwd else None)
    # A watchdog beyond boxbot's own bound, in case boxbot itself gets stuck.
    killer = threading.Timer(timeout + 30, process.kill)
    killer.start()
    run = BoxRun(exit_code=None)
    try:
        for raw in process.stdout:
            line = raw.decode("utf-8", "replace").strip()
            if not line.startswith("{"):
                continue
            event = json.loads(line)
            run.events.append(event)
            _take(run, event, steps, on_progress, process)
        process.wait()
    finally:
        killer.cancel()
    _check(run, allow_unexpected, allow_unused)
    return run


def _take(run: BoxRun, event: dict, steps: list, on_progress: dict,
          process: subprocess.Popen) -> None:
    kind = event["event"]
    if kind == "start":
        run.workarea = tuple(event["workarea"])
        run.hooks = event["hooks"]
    elif kind == "created":
        run.created.append(event["class"])
    elif kind == "progress":
        run.progress.append(Progress.from_json(event))
    elif kind == "window":
        run.windows.append((event["class"], event["title"]))
    elif kind == "box":
        run.boxes.append(Box.from_json(event))
    elif kind == "hold":
        if "progress" in event:
            action, subject = on_progress[event["progress"]], run.progress[-1]
        else:
            subject = run.boxes[event["index"]]
            action = steps[subject.index][1]
        try:
            action(subject)
        finally:
            process.stdin.write(b"\n")
            process.stdin.flush()
    elif kind == "exit":
        run.exit_code = event["code"]
        run.unused = event["unused"]
    elif kind == "timeout":
        run.timed_out = True
    elif kind == "error":
        raise BoxRunError(f"boxbot: {event}")


def _check(run: BoxRun, allow_unexpected: bool, allow_unused: bool) -> None:
    shown = "\n".join(f"  {box}" for box in run.boxes) or "  (no box)"
    if run.timed_out:
        raise BoxRunError(f"the program did not end in time; boxes:\n{shown}")
    if run.exit_code is None:
        raise BoxRunError(f"boxbot ended without the program's exit code: {run.events}")
    if not allow_unexpected and any(not box.expected for box in run.boxes):
        raise BoxRunError(f"a box came that the script did not expect:\n{shown}")
    if not allow_unused and run.unused:
        raise BoxRunError(f"{run.unused} script step(s) left unused; boxes:\n{shown}")


def screenshot(path: Union[str, Path]) -> Path:
    """Saves the whole X screen as a PNG."""
    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    subprocess.run(["import", "-display", os.environ["DISPLAY"], "-window", "root", str(path)],
                   check=True, timeout=60, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return path


def expected_progress_rect(run: BoxRun, width: int, height: int) -> tuple:
    """Where a window of this size stands: centred in the work area, then raised
    by a third of its height."""
    left, top, right, bottom = run.workarea
    x = left + (right - left - width) // 2
    y = top + (bottom - top - height) // 2
    y -= int(height / 3)
    return (x, y, x + width, y + height)
