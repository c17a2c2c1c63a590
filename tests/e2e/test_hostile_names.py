"""A patch whose record names could reach outside the product's folders (or
name a device, a stream, a reserved file) is refused as a whole: exit code 103,
before any question, any program or any file is touched."""
import pytest

import kit

pytestmark = pytest.mark.usefixtures("no_leftovers")

VICTIM = "victim.txt"


# Record names, each of which would land outside the folder it is resolved in
# (or name no plain file there). {victim} is a file of the test's own folder as
# C:\..., {rest} the same without "C:\".
HOSTILE = {
    "parent folder": "..\\escape.txt",
    "deeper parent": "sub\\..\\..\\escape.txt",
    "parent with slashes": "../escape.txt",
    "absolute path": "{victim}",
    "root-relative": "\\{rest}",
    "slash root-relative": "/{rest}",
    "drive-relative": "C:escape.txt",
    "long-path prefix": "\\\\?\\{victim}",
    "device namespace": "\\\\.\\{victim}",
    "network path": "\\\\localhost\\C$\\{rest}",
    "device name": "nul.txt",
    "stream": VICTIM + ":evil",
    "trailing dot": "escape.txt.",
    "wildcard": "*.txt",
}


def snapshot(folder):
    """Every file below `folder` with its size and modification time."""
    return {str(p.relative_to(folder)): (p.stat().st_size, p.stat().st_mtime_ns)
            for p in folder.rglob("*")}


@pytest.mark.parametrize("kind", HOSTILE)
def test_hostile_record_name_ends_with_103_and_touches_nothing(case, kind):
    victim = case.path(VICTIM)
    victim_win = case.win + "\\" + VICTIM
    name = HOSTILE[kind].format(victim=victim_win, rest=victim_win[3:])
    victim.write_bytes(b"the victim's own content\n")
    # A full-content record (its CRC list holds 0: any copy would be taken),
    # creatable, after a harmless first record.
    description = {
        "texts": {"0": "Product", "2": "2.0", "5": "%s %s", "32": "damaged: %s"},
        "records": [{"name": "readme.txt", "content": "new\n", "flags": 12},
                    {"name": name, "content": "planted by the patch\n",
                     "allowUnsafeName": True}],
    }
    patch = kit.assemble(description, case.path("update.dif"))
    installer = kit.pack(patch, case.path("setup.exe"), runs=[case.recorder("rec.exe")],
                         silent=True)
    temp = kit.wine_temp()
    before_case, before_temp = snapshot(case.dir), snapshot(temp)
    before_root = sorted(p.name for p in kit.CASES.iterdir())

    assert kit.exit_code(installer, env=case.env) == 103
    assert case.record("rec.exe") == []  # the follow-up program never ran
    assert victim.read_bytes() == b"the victim's own content\n"
    assert snapshot(case.dir) == before_case
    assert sorted(p.name for p in kit.CASES.iterdir()) == before_root
    after_temp = {k: v for k, v in snapshot(temp).items()
                  if not kit.UNPACK_FOLDER.match(k.split("/")[0])}
    assert after_temp == {k: v for k, v in before_temp.items()
                          if not kit.UNPACK_FOLDER.match(k.split("/")[0])}


def test_the_builder_refuses_to_write_a_hostile_name(case):
    description = {"records": [{"name": "..\\escape.txt", "content": "x"}]}
    with pytest.raises(AssertionError, match=r"escape\.txt.*refused"):
        kit.assemble(description, case.path("update.dif"))
    assert not case.path("update.dif").exists()
