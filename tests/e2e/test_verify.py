"""selfpatch verify against the real installer: for old installations of
several versions, what `verify` says each file ends as is what the installer,
run silently under Wine on the same folder, leaves on disk.

Each folder is named to the installer through the registry (key 9), so it is
the run's only candidate folder, as verify assumes.
"""
import json

import pytest

import kit

V1 = bytes(range(256)) * 6
V2 = V1[:300] + b"second version" + V1[300:1400]
V3 = V2[:90] + b"third version" * 3 + V2[90:]
OTHER = b"a build that was never released" * 20
LIB1 = b"library one " * 80
LIB2 = LIB1.replace(b"one", b"two", 5)

TEXTS = {"0": "Verify", "2": "3.0", "5": "%s %s", "23": "missing %s", "25": "other version %s"}

RECORDS = [
    {"name": "app.exe", "old": {"file": "v1"}, "new": {"file": "v2"}},
    {"name": "app.exe", "old": {"file": "v2"}, "new": {"file": "v3"}},
    {"name": "app.exe", "content": {"file": "v3"}},
    {"name": "lib.dll", "old": {"file": "lib1"}, "new": {"file": "lib2"}},  # no full content
    {"name": "readme.txt", "content": "read me, version 3\r\n", "flags": 8},
]

# Installed files per folder, and whether verify passes it.
FOLDERS = {
    "v1": ({"app.exe": V1, "lib.dll": LIB1, "readme.txt": b"old readme"}, True),
    "v2": ({"app.exe": V2, "lib.dll": OTHER}, False),   # lib.dll of an unknown version
    "v3": ({"app.exe": V3}, False),                      # lib.dll missing, no record creates it
    "other": ({"app.exe": OTHER, "lib.dll": LIB2}, True),
}


def crc32(data):
    """The patch format's CRC-32: polynomial 0x04C11DB7, not reflected."""
    crc = 0xFFFFFFFF
    for byte in data:
        crc ^= byte << 24
        for _ in range(8):
            crc = ((crc << 1) ^ 0x04C11DB7 if crc & 0x80000000 else crc << 1) & 0xFFFFFFFF
    return crc ^ 0xFFFFFFFF


@pytest.fixture
def registry_key(case):
    key = r"Software\SelfpatchVerify." + case.dir.name[-40:]
    yield key
    kit.reg("delete", "HKCU\\" + key, check=False)


def verify(source, folder, *options):
    """verify's exit code and JSON report, which every build of the tool gives alike."""
    outcomes = {}
    for tool in kit.TOOLS:
        result = kit.run_tool(tool, "verify", source, "--from", folder, "--json", *options, timeout=120)
        outcomes[tool] = result.returncode, json.loads(result.stdout)
    assert outcomes["windows"] == outcomes["linux"]
    return outcomes["linux"]


def install(folder, files):
    folder.mkdir()
    for name, content in files.items():
        (folder / name).write_bytes(content)
    return {name: crc32(content) for name, content in files.items()}


def run_installer(installer, registry_key, folder):
    kit.reg("add", "HKCU\\" + registry_key, "/v", "Path", "/t", "REG_SZ", "/d", kit.to_windows(folder) + r"\app.exe")
    return kit.run(installer).code


def assert_installer_left_what_verify_said(rows, folder, before):
    """Each file is where verify says, with the CRC it says; a file verify
    finds unchanged (another version, not reached) is left as it was."""
    for row in rows:
        path = folder / row["name"]
        if row["action"].startswith("missing") or row["action"] in ("not created", "not reached"):
            assert path.exists() == (row["name"] in before), row
        if path.exists():
            assert crc32(path.read_bytes()) == row["result_crc"], row
        if row["ok"]:
            assert row["result_crc"] == row["expected_crc"], row
        elif path.exists() and row["action"] in ("unknown version", "not reached"):
            assert crc32(path.read_bytes()) == before[row["name"]], row  # left as it was


@pytest.mark.parametrize("folder_name", sorted(FOLDERS))
def test_verify_predicts_what_the_installer_leaves(case, registry_key, folder_name):
    for name, content in (("v1", V1), ("v2", V2), ("v3", V3), ("lib1", LIB1), ("lib2", LIB2)):
        case.path(name).write_bytes(content)
    patch = kit.assemble({"texts": dict(TEXTS, **{"9": registry_key + r"\Path"}), "records": RECORDS},
                         case.path("update.dif"))
    installer = kit.pack(patch, case.path("update.exe"), silent=True)
    installed, passes = FOLDERS[folder_name]
    folder = case.path("installed-" + folder_name)
    before = install(folder, installed)

    # The packed installer and the bare patch give the same report.
    (code, report), (patch_code, patch_report) = verify(installer, folder), verify(patch, folder)
    assert code == patch_code == (0 if passes else 1)
    assert report["rows"] == patch_report["rows"]
    rows = report["rows"]
    assert [row["name"] for row in rows] == ["app.exe", "lib.dll", "readme.txt"]

    run_installer(installer, registry_key, folder)
    assert_installer_left_what_verify_said(rows, folder, before)


def test_a_wrong_new_crc_ends_the_run_where_verify_says(case, registry_key):
    for name, content in (("v1", V1), ("v2", V2), ("v3", V3)):
        case.path(name).write_bytes(content)
    records = [dict(RECORDS[0]), dict(RECORDS[1], newCrc=1), RECORDS[2],
               {"name": "notes.txt", "content": "created after app.exe"}]
    patch = kit.assemble({"texts": dict(TEXTS, **{"9": registry_key + r"\Path"}), "records": records},
                         case.path("update.dif"))
    installer = kit.pack(patch, case.path("update.exe"), silent=True)
    folder = case.path("installed")
    before = install(folder, {"app.exe": V1})

    code, report = verify(patch, folder)
    assert code == 1
    rows = report["rows"]
    assert [(row["name"], row["action"], row["ok"]) for row in rows] == [
        ("app.exe", "chain", False), ("notes.txt", "not reached", False)]
    assert rows[0]["result_crc"] == crc32(V2)  # the first step is put in place before the second fails

    assert run_installer(installer, registry_key, folder) == 107
    assert_installer_left_what_verify_said(rows, folder, before)


FAMILY_RECORDS = [
    {"name": "app.exe", "content": {"file": "v3"}, "flags": 1},          # 9x only: begins the group there
    {"name": "app.exe", "old": {"file": "v2"}, "new": {"file": "v3"}, "flags": 2},
    {"name": "lib.dll", "old": {"file": "lib1"}, "new": {"file": "lib2"}, "flags": 2},  # NT only
    {"name": "readme.txt", "content": "read me, version 3\r\n", "flags": 1},         # 9x only
]


@pytest.mark.parametrize("family, names", [("nt", ["app.exe", "lib.dll"]), ("9x", ["app.exe", "readme.txt"])])
def test_verify_for_a_family_predicts_that_familys_run(case, registry_key, family, names):
    for name, content in (("v2", V2), ("v3", V3), ("lib1", LIB1), ("lib2", LIB2)):
        case.path(name).write_bytes(content)
    patch = kit.assemble({"texts": dict(TEXTS, **{"9": registry_key + r"\Path"}), "records": FAMILY_RECORDS},
                         case.path("update.dif"))
    exe_name = f"update-{family}-{case.dir.name[-40:]}.exe"
    installer = kit.pack(patch, case.path(exe_name), silent=True)
    folder = case.path("installed")
    before = install(folder, {"app.exe": OTHER if family == "9x" else V2, "lib.dll": LIB1})

    code, report = verify(installer, folder, "--platform", family)
    assert (code, report["platform"], report["ok"]) == (0, family, True)
    rows = report["rows"]
    assert [row["name"] for row in rows] == names

    # Wine reports the 9x family to a program set to that version.
    app_defaults = "HKCU\\Software\\Wine\\AppDefaults\\" + exe_name
    if family == "9x":
        kit.reg("add", app_defaults, "/v", "Version", "/t", "REG_SZ", "/d", "win98")
    try:
        assert run_installer(installer, registry_key, folder) == 0
    finally:
        kit.reg("delete", app_defaults, check=False)
    assert_installer_left_what_verify_said(rows, folder, before)
    assert [crc32((folder / row["name"]).read_bytes()) for row in rows] == [row["expected_crc"] for row in rows]
    untouched = {"nt": "readme.txt", "9x": "lib.dll"}[family]
    assert (folder / untouched).exists() == (untouched in before)
    if untouched in before:
        assert crc32((folder / untouched).read_bytes()) == before[untouched]


def test_an_unknown_platform_is_refused(case, tool):
    patch = kit.assemble({"texts": TEXTS, "records": RECORDS[4:]}, case.path("update.dif"))
    result = kit.run_tool(tool, "verify", patch, "--from", case.dir, "--platform", "xp", timeout=120)
    assert result.returncode != 0
    assert "--platform" in result.stderr
