"""Test kit for the end-to-end tests: the build outputs, running Windows
programs under Wine with their real exit codes, making patches and installers
through the `selfpatch` tool, per-test folders inside the Wine prefix, and the
Wine temporary folder where the installer unpacks its payload.

Tests run inside scripts/with-wine.sh, which sets WINEPREFIX and DISPLAY."""
import functools
import json
import os
import re
import shutil
import struct
import subprocess
import time
import zlib
from dataclasses import dataclass, field
from pathlib import Path, PureWindowsPath

ROOT = Path(__file__).resolve().parents[2]
NATIVE_BIN = ROOT / "build" / "native" / "bin"
WIN_BIN = Path(os.environ.get("SP_WIN_BUILD", ROOT / "build" / "win")) / "bin"
SELFPATCH = NATIVE_BIN / "selfpatch"
# The same tool built for Windows (64-bit), run under Wine's 64-bit loader.
SELFPATCH_EXE = ROOT / "build" / "win64" / "bin" / "selfpatch.exe"
# The command that starts each build of the tool: the table that the tests of
# the tool's commands run through.
TOOLS = {
    "linux": [str(SELFPATCH)],
    "windows": ["wine", str(SELFPATCH_EXE)],
}
SFX = WIN_BIN / "selfpatch-sfx.exe"
# The shipped 32-bit installer, whichever build the tests run: tests of its own
# file read it; tests that run it use SFX (under Wine's 64-bit loader, the twin).
SHIPPED_SFX = ROOT / "build" / "win" / "bin" / "selfpatch-sfx.exe"


def is_64bit_program(program):
    """Whether the PE file PROGRAM is built for x86-64."""
    data = Path(program).read_bytes()[:4096]
    header = struct.unpack_from("<I", data, 0x3C)[0]
    return struct.unpack_from("<H", data, header + 4)[0] == 0x8664


# bitness: %ProgramFiles% as the installer under test expands it in a 64-bit prefix.
PROGRAM_FILES = "Program Files" if is_64bit_program(SFX) else "Program Files (x86)"
RUNWAIT = WIN_BIN / "runwait.exe"
RECORDER = WIN_BIN / "recorder.exe"
PREFIX = Path(os.environ.get("WINEPREFIX", ROOT / "build" / "wpfx"))
DRIVE_C = PREFIX / "drive_c"
CASES = DRIVE_C / "sptests"

# Folders the installer unpacks into: "sp" and 24 hex digits in the temp folder.
UNPACK_FOLDER = re.compile(r"^sp[0-9a-f]{24}$")


# --- paths -----------------------------------------------------------------

def to_windows(path):
    """The Windows path of a Unix path: C:\\... inside the prefix, else Z:\\..."""
    path = Path(path).resolve()
    try:
        relative = path.relative_to(DRIVE_C.resolve())
        return "C:\\" + str(relative).replace("/", "\\").lstrip(".")
    except ValueError:
        return "Z:" + str(path).replace("/", "\\")


def as_windows(path):
    """PATH as it is when it is a Windows path (a str with a drive), else to_windows."""
    return path if isinstance(path, str) and ":" in path else to_windows(path)


def to_unix(windows_path):
    """The Unix path of a C:\\ path inside the prefix."""
    windows = PureWindowsPath(windows_path)
    assert windows.drive.upper() == "C:", windows_path
    return DRIVE_C.joinpath(*windows.parts[1:])


_temp = None


def wine_temp():
    """The Wine user's temporary folder (GetTempPath), as a Unix path."""
    global _temp
    if _temp is None:
        out = subprocess.run(["wine", "cmd", "/c", "echo", "%TEMP%"], capture_output=True,
                             text=True, timeout=60).stdout.strip().splitlines()[-1]
        _temp = to_unix(out.strip())
    return _temp


def unpack_folders():
    """Names of the installer's unpack folders now present in the temp folder."""
    return {p.name for p in wine_temp().iterdir() if UNPACK_FOLDER.match(p.name)}


# --- running programs ------------------------------------------------------

@dataclass
class Run:
    code: int
    stdout: str


def run(program, *args, display=True, application=None, env=None, timeout=120):
    """Runs PROGRAM with ARGS under Wine through runwait and returns its exit code.

    The command line is the program's Windows path and the args joined by single
    spaces, exactly as given. display=False hides the X display, so that a
    message box fails at once instead of waiting for an answer. application=
    starts that program with exactly ARGS as its command line (no program path
    in front)."""
    if application is not None:
        argv = ["wine", str(RUNWAIT), "--app", to_windows(application), *args]
    else:
        argv = ["wine", str(RUNWAIT), to_windows(program), *args]
    environment = dict(os.environ)
    if not display:
        environment.pop("DISPLAY", None)
    environment.update(env or {})
    result = subprocess.run(argv, capture_output=True, text=True, timeout=timeout,
                            env=environment)
    return Run(runwait_code(result.stdout, result.stderr), result.stdout)


def runwait_code(stdout, stderr=""):
    """The exit code that runwait reported in STDOUT ("exit=N")."""
    found = re.search(r"^exit=(\d+)", stdout, re.M)
    if not found:
        raise AssertionError(f"runwait failed: {stdout!r} {stderr[-2000:]!r}")
    return int(found.group(1))


def exit_code(program, *args, **kwargs):
    return run(program, *args, **kwargs).code


def reg(*args, check=True):
    """Runs `reg ARGS /f` under Wine in the registry view that 32-bit programs
    see (the installer's, whatever the bitness of the build under test)."""
    subprocess.run(["wine", "reg", *args, "/reg:32", "/f"], check=check,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)


class FileHolder:
    """Another process holding a file open without delete or rename sharing."""

    def __init__(self, path: Path, work: Path, seconds: int = 60):
        """Holds PATH for at most SECONDS, or until `release`."""
        self.ready = work / "held.ready"
        self.release_file = work / "held.release"
        self.process = subprocess.Popen(
            ["wine", str(WIN_BIN / "holdfile.exe"), to_windows(path),
             to_windows(self.ready), to_windows(self.release_file), str(seconds)],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for _ in range(500):
            if self.ready.exists():
                return
            time.sleep(0.02)
        raise AssertionError("holdfile did not open the file")

    def release(self):
        self.release_file.write_bytes(b"")
        self.process.wait(timeout=30)


def restart_windows():
    """Restarts Windows in the prefix: pending renames are carried out."""
    subprocess.run(["wineboot", "-r"], check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)


# --- making patches and installers -----------------------------------------

def run_tool(tool, *args, timeout=300, **kwargs):
    """Runs the tool named TOOL (a key of TOOLS) with ARGS; returns the completed
    process, its output as text."""
    program = Path(TOOLS[tool][-1])
    if not program.is_file():
        raise AssertionError(f"{program} is missing: build it first (make build)")
    return subprocess.run([*TOOLS[tool], *map(str, args)], capture_output=True, text=True,
                          timeout=timeout, **kwargs)


def selfpatch(*args):
    result = subprocess.run([str(SELFPATCH), *map(str, args)], capture_output=True, text=True,
                            timeout=300)
    if result.returncode != 0:
        raise AssertionError(f"selfpatch {args[0]} failed ({result.returncode}): "
                             f"{result.stderr}")
    return result


def assemble(description, out):
    """Writes the patch that DESCRIPTION (a dict, see `selfpatch assemble --help`)
    describes to OUT; returns OUT."""
    out = Path(out)
    source = out.with_name(out.name + ".json")
    source.write_text(json.dumps(description, ensure_ascii=False))
    selfpatch("assemble", source, "-o", out)
    return out


def pack(patch, out, runs=(), silent=False, kill_parent=False, switches=None, stub=SFX):
    """Packs PATCH and the RUNS programs into the installer OUT; returns OUT."""
    args = ["pack", patch, "--stub", stub, "-o", out, "--zopfli-iterations", "0"]
    for program in runs:
        args += ["--run", program]
    if silent:
        args.append("--silent")
    if kill_parent:
        args.append("--kill-parent")
    if switches is not None:
        args.append(f"--switches={switches}")
    selfpatch(*args)
    return Path(out)


def pack_raw(payload, out, switches=None, stub=SFX):
    """An installer whose payload is PAYLOAD's bytes exactly (damaged containers)."""
    out = Path(out)
    raw = out.with_name(out.name + ".payload")
    raw.write_bytes(payload)
    args = ["pack", "--raw-payload", raw, "--stub", stub, "-o", out]
    if switches is not None:
        args.append(f"--switches={switches}")
    selfpatch(*args)
    return out


def preset_switch_area(program, text):
    """Writes TEXT into the header switch area of PROGRAM by hand (offsets
    960-1023), for texts that `selfpatch pack --switches` refuses."""
    raw = text.encode("ascii")
    assert len(raw) < 64
    with open(program, "r+b") as f:
        f.seek(960)
        f.write(raw.ljust(64, b"\0"))


def entry(name, content=None, data=None, length=None):
    """One payload container entry written by hand: NAME (str or bytes), then
    the length word and the data. CONTENT is compressed as the packer does;
    DATA is taken as it is; LENGTH overrides the length word."""
    name = name.encode("ascii") if isinstance(name, str) else name
    if data is None:
        data = zlib.compress(content, 9) if content else b""
    return name + b"\0" + struct.pack("<I", len(data) if length is None else length) + data


def payload_entries(payload):
    """The payload container's entries as (name, data), walked independently of
    the tool's own reader."""
    entries, position = [], 0
    while position < len(payload):
        end = payload.index(b"\0", position)
        name = payload[position:end].decode("ascii")
        (length,) = struct.unpack_from("<I", payload, end + 1)
        data = payload[end + 5:end + 5 + length]
        assert len(data) == length
        entries.append((name, data))
        position = end + 5 + length
    return entries


# --- a folder of its own per test ------------------------------------------

@dataclass
class Case:
    """A test's own folder inside the Wine prefix (C:\\sptests\\NAME)."""
    dir: Path
    env: dict = field(default_factory=dict)

    @property
    def win(self):
        return to_windows(self.dir)

    def path(self, name):
        return self.dir / name

    def recorder(self, name="recorder.exe"):
        """A copy of the recording test program under NAME; it logs into this
        folder (through SELFPATCH_RECORD_DIR, see `env`)."""
        target = self.dir / name
        shutil.copyfile(RECORDER, target)
        return target

    def record(self, name="recorder.exe"):
        """What the recorder named NAME logged: a list of runs, each a dict with
        module, commandline, cwd and files ({name: size})."""
        log = self.dir / (Path(name).stem + ".log")
        if not log.exists():
            return []
        runs, current = [], None
        for line in log.read_text(errors="replace").splitlines():
            key, _, value = line.partition("=")
            if key == "module":
                current = {"module": value, "files": {}}
            elif key == "file":
                file_name, _, size = value.rpartition(" ")
                current["files"][file_name] = int(size)
            elif key == "end":
                runs.append(current)
            else:
                current[key] = value
        return runs


def make_case(name):
    folder = CASES / re.sub(r"[^A-Za-z0-9_.-]+", "_", name)[:80]
    shutil.rmtree(folder, ignore_errors=True)
    folder.mkdir(parents=True)
    case = Case(folder)
    case.env = {"SELFPATCH_RECORD_DIR": case.win}
    return case


# --- small fixtures --------------------------------------------------------

def simple_patch(case, name="update.dif", texts=None, records=None):
    """A valid patch: a few texts, the magic and one record."""
    description = {
        "texts": texts if texts is not None else {"0": "Sample", "2": "2.0", "5": "%s %s"},
        "records": records if records is not None else [
            # Optional and never created (flags 8 and 4): where no copy is
            # installed, nothing is created, asked or counted.
            {"name": "readme.txt", "content": "new readme\n", "flags": 12}],
    }
    return assemble(description, case.path(name))


@functools.lru_cache(maxsize=None)
def readme_exit_codes():
    """The codes in the first column of the README's exit-code table."""
    text = (ROOT / "README.md").read_text()
    table = text[text.index("Exit codes:"):].split("\n\n")[1]
    return frozenset(int(row.split("|")[1]) for row in table.splitlines()
                     if re.match(r"^\|\s*\d+\s*\|", row))
