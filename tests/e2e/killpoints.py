"""The kill-point build of the installer (driver/kill_point.h): the calls that
change the file system or read files, mappings and the registry, numbered as a
run reaches them; a run held at one of them while a test changes the files
under it."""
import threading
import time
from pathlib import Path
from typing import Callable, List, NamedTuple

import kit

SFX = kit.WIN_BIN / "selfpatch-sfx-killpoints.exe"
SHIPPED_SFX = kit.SHIPPED_SFX.with_name(SFX.name)  # the kill-point build of the 32-bit program
KILLED = 0xDEAD  # the exit code of a run ended at a kill point


class Call(NamedTuple):
    number: int
    kind: str  # "change" or "read"
    name: str  # CreateFile, WriteFile, SetFileTime, MoveFile, RegQueryValueEx...
    path: str


def logged_calls(log: Path) -> List[Call]:
    """The calls that a run with SP_KILL_LOG=<log> reached, in order."""
    calls = []
    for line in log.read_text(errors="replace").splitlines():
        number, kind, name, path = line.split(" ", 3)
        calls.append(Call(int(number), kind, name, path))
    return calls


def changes(calls: List[Call]) -> List[Call]:
    """The calls that change the file system."""
    return [call for call in calls if call.kind == "change"]


def first_call(calls: List[Call], name: str, path_end: str) -> Call:
    return next(call for call in calls
                if call.name == name and call.path.lower().endswith(path_end.lower()))


def numbers(calls: List[Call]) -> str:
    """The calls' numbers as killloop takes them."""
    return ",".join(str(call.number) for call in calls)


def kill_loop_line_faults(line: str, number: int) -> List[str]:
    """What is wrong with one line of a kill loop ("k=N killed=CODE rerun=CODE
    unpack=KILLED,RERUN"), if anything: the run must have been ended before call
    NUMBER, the rerun must end with 0, and the rerun must leave no unpack folder
    beside the one the killed run could not remove."""
    fields = dict(item.split("=") for item in line.split())
    faults = []
    if (fields["k"], fields["killed"], fields["rerun"]) != (str(number), str(KILLED), "0"):
        faults.append(f"not killed there, or the rerun failed: {line}")
    killed_count, rerun_count = fields["unpack"].split(",")
    if rerun_count != killed_count:
        faults.append(f"the rerun left an unpack folder: {line}")
    return faults


def run_paused(start: Callable[[dict], object], at: int, marker: Path,
               while_paused: Callable[[], None], timeout: float = 60):
    """Runs start(env) in a thread with the installer held before call AT;
    calls while_paused() once it waits there, then lets it go on. Returns what
    start returned."""
    result = {}
    env = {"SP_PAUSE_AT": str(at), "SP_PAUSE_FILE": kit.to_windows(marker)}
    thread = threading.Thread(target=lambda: result.update(value=start(env)))
    thread.start()
    try:
        deadline = time.monotonic() + timeout
        while not marker.exists():
            assert thread.is_alive() and time.monotonic() < deadline, "the run did not pause"
            time.sleep(0.02)
        while_paused()
    finally:
        marker.unlink(missing_ok=True)
        thread.join(timeout)
    return result["value"]
