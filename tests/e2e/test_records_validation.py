"""A damaged records area ends the run with exit code 103 before anything
happens: the patch's header parses, but the installer checks every record
before it asks, closes or touches anything. Runs silently, so no box waits."""
import json
import os
import re
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
SELFPATCH = ROOT / "build" / "native" / "bin" / "selfpatch"
WIN_BIN = Path(os.environ.get("SP_WIN_BUILD", ROOT / "build" / "win")) / "bin"

pytestmark = pytest.mark.skipif(
    not (WIN_BIN / "runwait.exe").exists() or not (WIN_BIN / "recorder.exe").exists(),
    reason="Windows helpers not built")


def windows_path(path):
    return "Z:" + str(path).replace("/", "\\")


def build_installer(tmp_path, records, extra=None):
    description = {"texts": {"0": "Product", "32": "Faulty update data: %s"}, "records": records}
    description.update(extra or {})
    desc = tmp_path / "patch.json"
    desc.write_text(json.dumps(description))
    patch = tmp_path / "product.dif"
    subprocess.run([SELFPATCH, "assemble", desc, "-o", patch], check=True)
    exe = tmp_path / "update.exe"
    subprocess.run([SELFPATCH, "pack", patch, "--silent", "--run", WIN_BIN / "recorder.exe",
                    "--stub", WIN_BIN / "selfpatch-sfx.exe",
                    "-o", exe], check=True, capture_output=True)
    return exe


def run_silently(tmp_path, exe):
    env = dict(os.environ, SELFPATCH_RECORD_DIR=windows_path(tmp_path))
    result = subprocess.run(["wine", WIN_BIN / "runwait.exe", windows_path(exe)],
                            capture_output=True, text=True, timeout=120, env=env)
    found = re.search(r"exit=(\d+)", result.stdout)
    assert found, result.stdout + result.stderr
    return int(found.group(1))


GOOD = {"name": "sp_validation_target.txt", "content": "new\n", "flags": 8}

FAULTS = {
    "recordLength below the name": ({**GOOD, "recordLength": 26}, None),
    "recordLength past the end": ({**GOOD, "recordLength": 4096}, None),
    "bytes after the last record": (GOOD, {"append": {"hex": "00 01"}}),
    "delta header: lengths end before they start": (
        {"name": "sp_validation_target.txt", "old": "old", "new": "new",
         "deltaHeader": {"lengthsOffset": 40, "positionsOffset": 36}}, None),
    "delta header: offset past the record": (
        {"name": "sp_validation_target.txt", "old": "old", "new": "new",
         "deltaHeader": {"addendsOffset": 100000}}, None),
}


@pytest.mark.parametrize("fault", FAULTS)
def test_damaged_records_area_ends_with_103_before_anything_runs(tmp_path, fault):
    record, extra = FAULTS[fault]
    exe = build_installer(tmp_path, [GOOD, record], extra)
    assert run_silently(tmp_path, exe) == 103
    assert not (tmp_path / "recorder.log").exists()  # the post-update program never ran


def test_sound_records_area_passes_the_check(tmp_path):
    exe = build_installer(tmp_path, [GOOD])
    assert run_silently(tmp_path, exe) != 103
