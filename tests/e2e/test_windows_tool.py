"""selfpatch.exe, the tool built for Windows, beside the Linux tool (the other
command tests run both through kit.TOOLS): the demo's project gives the same
patch and installer byte for byte from either, and a product whose folders and
files have Japanese names, named by drive-letter paths with backslashes in the
project file and on the command line, is read on a system whose code page
cannot write those names."""
import json
import os
import shutil
import sys

import pytest

import kit

sys.path.insert(0, str(kit.ROOT / "scripts"))
import demo_update  # noqa: E402


@pytest.mark.parametrize("command", ["", "build", "make", "pack", "inspect", "verify", "diff", "apply",
                                     "assemble", "unknown"])
def test_both_tools_answer_help_and_a_bare_command_alike(command):
    """Same usage texts, messages and exit codes (line ends aside: the Windows
    tool writes CR LF, which text mode reads as LF)."""
    for arguments in ([command, "--help"], [command]):
        arguments = [a for a in arguments if a]
        linux, windows = (kit.run_tool(tool, *arguments) for tool in ("linux", "windows"))
        assert (windows.returncode, windows.stdout, windows.stderr) == \
            (linux.returncode, linux.stdout, linux.stderr)
        assert linux.stdout + linux.stderr


def test_the_demos_patch_and_installer_are_the_same_from_both_tools(case):
    demo_update.write_versions(demo_update.make_versions(), case.dir)
    shutil.copy(kit.WIN_BIN / "recorder.exe", case.path("after-update.exe"))
    case.path("demo.toml").write_text(demo_update.PROJECT)
    made = {}
    for tool in kit.TOOLS:
        # As the demo does: relative paths, the embedded installer program and
        # the stronger deflate at its default strength.
        for command, out in (("make", "update.dif"), ("build", "update.exe")):
            result = kit.run_tool(tool, command, "demo.toml", "-o", f"{tool}-{out}", cwd=case.dir)
            assert result.returncode == 0, result.stderr
            made[tool, out] = case.path(f"{tool}-{out}").read_bytes()
    assert made["windows", "update.dif"] == made["linux", "update.dif"]
    assert made["windows", "update.exe"] == made["linux", "update.exe"]


# Characters where the Windows code page tables and iconv's part ways, and a
# few where they agree; each tool writes them the same, or refuses them alike.
@pytest.mark.parametrize("codepage, text", [
    (932, "〜"), (932, "−"), (932, "—"), (932, "¥"), (932, "¢‖¬"), (932, "表示ソ"), (932, "ｱｲ"),
    (932, "\uf8f0"), (932, "\u0080"), (932, "Ä"), (932, "😀"),
    (1252, "€Äß"), (1252, "\u0081"), (1252, "表"),
    (950, "═╞"), (950, "\ue000"), (936, "\ue000"), (949, "\ue000"), (99999, "x"),
])
def test_both_tools_write_a_text_alike_in_its_code_page(case, codepage, text):
    description = case.path("texts.json")
    description.write_text(json.dumps({"codepage": codepage, "texts": {"0": "<" + text + ">"}}),
                           encoding="utf-8")
    outcomes = {}
    for tool in kit.TOOLS:
        out = case.path(tool + ".dif")
        result = kit.run_tool(tool, "assemble", description, "-o", out)
        outcomes[tool] = result.returncode, out.read_bytes() if out.exists() else None
    assert outcomes["windows"] == outcomes["linux"]


# Bytes of a text read back in its code page: undefined bytes, C1 controls and
# characters of several forms.
@pytest.mark.parametrize("codepage, hex_bytes", [
    (1252, "81 8d 8f 90 9d"), (1252, "80 e4 df"), (932, "80"), (932, "a0 fd"), (932, "81 60 81 5c 81 7c"),
    (932, "95 5c 83 5c"), (932, "f0 40"), (932, "81"), (950, "f9 f9 a2 a4"),
])
def test_both_tools_read_a_text_alike_in_its_code_page(case, codepage, hex_bytes):
    patch = kit.assemble({"texts": {"0": {"hex": "3c" + hex_bytes + "3e"}}}, case.path("texts.dif"))
    linux, windows = (kit.run_tool(tool, "inspect", "--codepage", codepage, "--json", patch)
                      for tool in ("linux", "windows"))
    assert (windows.returncode, windows.stdout) == (linux.returncode, linux.stdout)
    assert json.loads(linux.stdout)["patch"]["texts"][0]["text"].startswith("<")


OLD = {"説明書.txt": "版 1.0\r\n".encode("utf-8") * 40, "データ表/表示.dll": b"display 1.0\r\n" * 60}
NEW = {"説明書.txt": "版 2.0\r\n".encode("utf-8") * 40, "データ表/表示.dll": b"display 2.0\r\n" * 60,
       "データ表/新機能.dat": b"new in 2.0\r\n" * 10}


def write_folder(folder, files):
    for name, content in files.items():
        path = folder / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(content)


def project_text(new_folder, old_folder):
    return ('[product]\nname = "製品"\nfrom = "1.0"\nto = "2.0"\nlanguage = "ja"\n'
            f"[folders]\nnew = '{new_folder}'\nold = ['{old_folder}']\n")


def test_japanese_names_by_drive_letter_paths_under_a_western_code_page(case):
    old, new = case.path("製品 1.0"), case.path("製品 2.0")
    write_folder(old, OLD)
    write_folder(new, NEW)
    case.path("相対.toml").write_text(project_text(new.name, old.name), encoding="utf-8")
    linux = kit.run_tool("linux", "make", case.path("相対.toml"), "-o", case.path("linux.dif"))
    assert linux.returncode == 0, linux.stderr

    # The Windows tool on a system with code page 1252 (Wine takes it from the
    # C locale), given C:\... paths.
    project = case.path("絶対.toml")
    project.write_text(project_text(kit.to_windows(new), kit.to_windows(old)), encoding="utf-8")
    western = dict(os.environ, LC_ALL="C.UTF-8")
    patch = kit.to_windows(case.path("更新.dif"))
    windows = kit.run_tool("windows", "make", kit.to_windows(project), "-o", patch, env=western)
    assert windows.returncode == 0, windows.stderr
    assert patch in windows.stdout  # the output's own name, in UTF-8

    assert case.path("更新.dif").read_bytes() == case.path("linux.dif").read_bytes()
    assert "表".encode("cp932") in case.path("linux.dif").read_bytes()
    check = kit.run_tool("windows", "verify", patch, "--from", kit.to_windows(old), "--codepage", "932",
                         env=western)
    assert check.returncode == 0, check.stdout + check.stderr
    assert "データ表\\新機能.dat" in check.stdout
