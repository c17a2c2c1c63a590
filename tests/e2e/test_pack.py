"""selfpatch pack and inspect, checked from outside: the packed installer
parsed by an independent PE reader (pefile), its resources read back through
Windows' own resource lookup under Wine, signing after packing, and the
commands' refusals and fault reports. (Running packed installers is the
subject of test_launcher.py and test_driver.py, through kit.pack.)"""
import json
import os
import struct
import subprocess
import zlib

import pefile
import pytest

from kit import SHIPPED_SFX, SFX as STUB, WIN_BIN, entry, payload_entries, run_tool

RT_RCDATA = 10


def pack(tool, *args, check=True):
    result = run_tool(tool, "pack", *args)
    if check and result.returncode != 0:
        raise AssertionError(f"pack failed ({result.returncode}): {result.stderr}")
    return result


def rcdata_100(pe):
    """{language: bytes} of RT_RCDATA 100."""
    found = {}
    for type_entry in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if type_entry.id != RT_RCDATA:
            continue
        for name_entry in type_entry.directory.entries:
            if name_entry.id != 100:
                continue
            for language in name_entry.directory.entries:
                struct_ = language.data.struct
                found[language.id] = pe.get_data(struct_.OffsetToData, struct_.Size)
    return found


@pytest.fixture
def files(tmp_path):
    patch = tmp_path / "product-1.1.dif"
    patch.write_bytes(b"DIF0" + bytes(range(256)) * 300 + os.urandom(2000))
    first = tmp_path / "notes.exe"
    first.write_bytes(b"MZ" + b"first program " * 50)
    second = tmp_path / "after.exe"
    second.write_bytes(os.urandom(999))
    return patch, first, second


def test_packed_installer_as_an_independent_reader_sees_it(tool, tmp_path, files):
    patch, first, second = files
    out = tmp_path / "update.exe"
    pack(tool, patch, "--run", first, "--run", second, "--silent", "--kill-parent", "-o", out)
    data = out.read_bytes()
    assert len(data) % 4 == 0

    pe = pefile.PE(str(out))
    assert pe.OPTIONAL_HEADER.CheckSum == pe.generate_checksum()
    assert pe.sections[-1].Name.rstrip(b"\0") == b".rsrc"
    last = pe.sections[-1]
    assert last.PointerToRawData + last.SizeOfRawData == len(data)
    assert pe.OPTIONAL_HEADER.SizeOfImage >= last.VirtualAddress + last.Misc_VirtualSize
    security = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]
    assert security.Size == 0

    resources = rcdata_100(pe)
    assert resources[1033] == b"\0"  # the installer's English placeholder stays
    entries = payload_entries(resources[0])
    assert [name for name, _ in entries] == ["arg00", patch.name, first.name, second.name]
    assert entries[0][1] == b""
    for (_, stream), source in zip(entries[1:], (patch, first, second)):
        assert zlib.decompress(stream) == source.read_bytes()

    assert data[960:1024] == b" /s /k".ljust(64, b"\0")
    # Everything before the resource section is the carried installer program's own.
    stub = SHIPPED_SFX.read_bytes()
    assert data[1024:last.PointerToRawData] == stub[1024:last.PointerToRawData]


def test_raw_payload_and_verbatim_switches(tool, tmp_path):
    raw = tmp_path / "damaged.bin"
    raw.write_bytes(entry("arg00") + entry("x.dif", length=255, data=b"abc"))
    out = tmp_path / "raw.exe"
    pack(tool, "--raw-payload", raw, "--switches", " -S /k", "--stub", STUB, "-o", out)
    pe = pefile.PE(str(out))
    assert rcdata_100(pe)[0] == raw.read_bytes()
    assert out.read_bytes()[960:967] == b" -S /k\0"
    assert pe.OPTIONAL_HEADER.CheckSum == pe.generate_checksum()


@pytest.mark.parametrize("args, message", [
    (["--switches", "/s"], "must begin with a space"),
    (["--switches", " " + "x" * 63], "too long"),
    (["--stub", "{patch}"], "no MZ header"),
    (["--run", "{patch}"], "occurs twice"),
])
def test_refusals_name_the_fault_and_write_nothing(tool, tmp_path, files, args, message):
    patch = files[0]
    out = tmp_path / "refused.exe"
    result = pack(tool, patch, *[a.format(patch=patch) for a in args], "-o", out, check=False)
    assert result.returncode != 0
    assert message in result.stderr
    assert not out.exists()
    assert list(tmp_path.glob("refused.exe*")) == []


def wine(*args):
    return subprocess.run(["wine", *map(str, args)], capture_output=True, timeout=120)


@pytest.mark.skipif(not (WIN_BIN / "resdump.exe").exists(), reason="Windows helpers not built")
def test_windows_resource_lookup_finds_the_payload(tool, tmp_path, files):
    patch, first, _ = files
    out = tmp_path / "update.exe"
    pack(tool, patch, "--run", first, "-o", out)
    expected = rcdata_100(pefile.PE(str(out)))

    for language, name in ((0, "neutral"), (1033, "english")):
        dump = tmp_path / f"{name}.bin"
        result = wine(WIN_BIN / "resdump.exe", out, 100, language, dump)
        assert result.returncode == 0, result.stderr
        assert dump.read_bytes() == expected[language]
    # The lookup without a language, the one the installer makes, must find
    # some RT_RCDATA 100 in the rebuilt (binary-searched) tree.
    dump = tmp_path / "any.bin"
    assert wine(WIN_BIN / "resdump.exe", out, 100, "any", dump).returncode == 0
    assert dump.read_bytes() in (expected[0], expected[1033])


def inspect(tool, *args):
    return run_tool(tool, "inspect", *args)


def test_inspect_reports_the_packed_installer_and_its_faults(tool, tmp_path, files):
    patch = tmp_path / "u.dif"
    patch.write_bytes(b"0:Product\0" + b"5:%s %s\0" + b"DIF0" + struct.pack("<IIII", 24 + 6 + 3, 0, 0, 0)
                      + bytes(8) + b"a.txt\0abc")
    out = tmp_path / "update.exe"
    pack(tool, patch, "--switches", " /s", "-o", out)
    result = inspect(tool, out, "--json")
    report = json.loads(result.stdout)
    # The CRC of "abc" is not 0: the record is faulty, and inspect says where.
    assert result.returncode == 1
    assert report["fault"]["where"] == "patch u.dif"
    assert report["fault"]["offset"] == 22
    assert [e["name"] for e in report["payload"]] == ["arg00", "u.dif"]
    assert report["payload"][1]["inflated_size"] == patch.stat().st_size
    assert report["switches"] == " /s"
    assert report["checksum_ok"] is True
    assert [t["key"] for t in report["patch"]["texts"]] == [0, 5]

    raw = tmp_path / "raw.bin"
    raw.write_bytes(entry("arg00") + entry("u.dif", length=9, data=b"abc"))
    damaged = tmp_path / "damaged.exe"
    pack(tool, "--raw-payload", raw, "-o", damaged)
    result = inspect(tool, damaged)
    assert result.returncode == 1
    assert "INVALID: payload offset 10" in result.stdout


def test_inspect_passes_an_assembled_patch(tool, tmp_path):
    description = tmp_path / "patch.json"
    description.write_text(json.dumps({
        "codepage": 932,
        "texts": {"0": "製品", "13": "%sを更新中です"},
        "records": [{"name": "app.exe", "old": "old program bytes", "new": "new program bytes"},
                    {"name": "app.exe", "content": "new program bytes"}]}), encoding="utf-8")
    patch = tmp_path / "ok.dif"
    assert run_tool(tool, "assemble", description, "-o", patch).returncode == 0
    out = tmp_path / "ok.exe"
    pack(tool, patch, "-o", out)
    result = inspect(tool, out, "--json")
    assert result.returncode == 0, result.stdout
    report = json.loads(result.stdout)
    assert report["valid"] is True and report["fault"] is None
    assert [t["text"] for t in report["patch"]["texts"]] == ["製品", "%sを更新中です"]
    assert [(r["kind"], r["name"]) for r in report["patch"]["records"]] == [("delta", "app.exe"), ("full", "app.exe")]
    assert "valid" in inspect(tool, patch).stdout.splitlines()[-1]


def test_signing_after_packing_keeps_a_valid_installer_and_repacking_drops_it(tool, tmp_path):
    patch = tmp_path / "u.dif"
    patch.write_bytes(b"DIF0" + struct.pack("<IIII", 24 + 6, 0, 0, 0) + bytes(8) + b"a.txt\0")
    packed = tmp_path / "update.exe"
    pack(tool, patch, "-o", packed)
    key, cert, p12 = tmp_path / "k.pem", tmp_path / "c.pem", tmp_path / "c.p12"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
                    "-out", cert, "-days", "2", "-subj", "/CN=selfpatch test"], check=True, capture_output=True)
    subprocess.run(["openssl", "pkcs12", "-export", "-inkey", key, "-in", cert, "-out", p12,
                    "-passout", "pass:test"], check=True, capture_output=True)
    signed = tmp_path / "signed.exe"
    subprocess.run(["osslsigncode", "sign", "-pkcs12", p12, "-pass", "test", "-n", "update",
                    "-in", packed, "-out", signed], check=True, capture_output=True)

    assert signed.stat().st_size % 4 == 0
    security = pefile.PE(str(signed)).OPTIONAL_HEADER.DATA_DIRECTORY[4]
    assert security.Size > 0
    assert inspect(tool, signed).returncode == 0

    repacked = tmp_path / "repacked.exe"
    result = pack(tool, patch, "--stub", signed, "-o", repacked)
    assert "signature (certificate table) was dropped" in result.stderr
    pe = pefile.PE(str(repacked))
    assert pe.OPTIONAL_HEADER.DATA_DIRECTORY[4].Size == 0
    assert repacked.read_bytes() == packed.read_bytes()
