"""`selfpatch diff` and `selfpatch apply`: the tool's delta commands, run as a
patch author would, on real files, by each build of the tool (`tool`)."""
import random

import pytest

from kit import run_tool


@pytest.fixture
def versions(tmp_path):
    """Two versions of a program-like file: the new one has inserted code and a
    few changed bytes."""
    rng = random.Random(5)
    old = bytes(rng.randrange(64) for _ in range(300_000))
    new = bytearray(old[:100_000] + bytes(rng.randrange(256) for _ in range(700)) + old[100_000:])
    for i in range(150_000, len(new), 4099):
        new[i] ^= 0x21
    (tmp_path / "old.bin").write_bytes(old)
    (tmp_path / "new.bin").write_bytes(bytes(new))
    return tmp_path


@pytest.mark.parametrize("compression", [[], ["--zlib"], ["--packed"]],
                         ids=["bare", "zlib", "packed"])
def test_diff_then_apply_rebuilds_the_new_file(tool, versions, compression):
    delta = versions / "delta"
    result = run_tool(tool, "diff", versions / "old.bin", versions / "new.bin", "-o", delta, *compression)
    assert result.returncode == 0, result.stderr
    assert delta.stat().st_size < (versions / "new.bin").stat().st_size // 10
    apply_flags = ["--zlib"] if compression else []
    result = run_tool(tool, "apply", versions / "old.bin", delta, "-o", versions / "out.bin", *apply_flags)
    assert result.returncode == 0, result.stderr
    assert (versions / "out.bin").read_bytes() == (versions / "new.bin").read_bytes()


def test_diff_output_is_the_same_every_time(tool, versions):
    for name in ("a", "b"):
        assert run_tool(tool, "diff", versions / "old.bin", versions / "new.bin", "-o",
                        versions / name).returncode == 0
    assert (versions / "a").read_bytes() == (versions / "b").read_bytes()


def test_errors_name_the_file_and_fail(tool, versions):
    missing = versions / "missing.bin"
    result = run_tool(tool, "diff", missing, versions / "new.bin", "-o", versions / "delta")
    assert result.returncode == 1
    assert str(missing) in result.stderr
    assert not (versions / "delta").exists()

    damaged = versions / "damaged.z"
    damaged.write_bytes(b"\x78\xda not a zlib stream")
    result = run_tool(tool, "apply", versions / "old.bin", damaged, "-o", versions / "out.bin", "--zlib")
    assert result.returncode == 1
    assert "damaged.z" in result.stderr and "zlib" in result.stderr
    assert not (versions / "out.bin").exists()

    not_a_delta = versions / "short"
    not_a_delta.write_bytes(b"\x01\x02")
    result = run_tool(tool, "apply", versions / "old.bin", not_a_delta, "-o", versions / "out.bin")
    assert result.returncode == 1
    assert "delta header" in result.stderr

    result = run_tool(tool, "diff", versions / "old.bin", versions / "new.bin")
    assert result.returncode == 2
    assert "usage" in result.stderr


def test_apply_refuses_a_delta_for_a_larger_old_file(tool, versions):
    """A delta whose blocks lie beyond the given old file stops, writing nothing."""
    delta = versions / "delta"
    assert run_tool(tool, "diff", versions / "old.bin", versions / "new.bin", "-o", delta).returncode == 0
    short_old = versions / "short_old.bin"
    short_old.write_bytes((versions / "old.bin").read_bytes()[:1000])
    result = run_tool(tool, "apply", short_old, delta, "-o", versions / "out.bin")
    assert result.returncode == 1
    assert "does not fit" in result.stderr
    assert not (versions / "out.bin").exists()
