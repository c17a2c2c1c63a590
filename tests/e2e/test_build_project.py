"""`selfpatch build` from a project file, run for real: a product with three old
versions, an installer built from its project, run silently against an
installed old version; afterwards every file of the product is the new one and
the follow-up program has run.

The product folder is put on the program search path (WINEPATH), which is
where the installer looks when the registry names no install folder.
"""

import random
import re
import shutil

import pytest

import kit


def versions():
    """Four versions of a small product, each {relative path: bytes}."""
    rng = random.Random(77)
    app = bytes(rng.getrandbits(8) for _ in range(24 * 1024))
    apps = [app]
    for step in range(3):  # each release adds code at the end: chains pay off
        apps.append(apps[-1] + bytes(rng.getrandbits(8) for _ in range(1500 + step)))
    core = b"".join(b"routine %05d\r\n" % i for i in range(800))
    cores = [core, core + b"fix 2\r\n", core + b"fix 2\r\n", core + b"fix 2\r\nfix 4\r\n"]
    result = []
    for n in range(4):
        files = {"app.exe": apps[n], "data/core.dll": cores[n],
                 "readme.txt": b"Sample %d.0\r\n" % (n + 1)}
        if n == 3:
            files["data/plugins.dat"] = b"plugin table\r\n" * 30  # new in 4.0
        if n < 2:
            files["legacy.hlp"] = b"old help"  # dropped in 3.0
        result.append(files)
    return result


def write_folder(folder, files):
    for name, content in files.items():
        path = folder / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(content)


def snapshot(folder):
    return {str(p.relative_to(folder)): p.read_bytes()
            for p in sorted(folder.rglob("*")) if p.is_file()}


@pytest.fixture
def project(case):
    all_versions = versions()
    for n, files in enumerate(all_versions):
        write_folder(case.path("v%d" % (n + 1)), files)
    case.recorder("after.exe")
    case.path("product.toml").write_text(
        '[product]\nname = "Sample"\nfrom = "1.0"\nto = "4.0"\n'
        '[folders]\nnew = "v4"\nold = ["v1", "v2", "v3"]\n'
        '[pack]\nsilent = true\nrun = ["after.exe"]\n')
    installers = {}
    for tool in kit.TOOLS:  # every build of the tool makes the same installer
        out = case.path("update-%s.exe" % tool)
        result = kit.run_tool(tool, "build", case.path("product.toml"), "-o", out, "--stub", kit.SFX,
                              "--zopfli-iterations", "0")
        assert result.returncode == 0, result.stderr
        installers[tool] = out.read_bytes()
    assert installers["windows"] == installers["linux"]
    case.path("update.exe").write_bytes(installers["linux"])
    return case, all_versions, result.stdout + result.stderr


@pytest.mark.parametrize("installed", [1, 2, 3])
def test_installed_old_version_becomes_the_new_one(project, installed, no_leftovers):
    case, all_versions, output = project
    product = case.path("product")
    shutil.rmtree(product, ignore_errors=True)
    write_folder(product, all_versions[installed - 1])

    run = kit.run(case.path("update.exe"), env=dict(case.env, WINEPATH=kit.to_windows(product)))

    assert run.code == 0, output
    after = snapshot(product)
    expected = dict(all_versions[3])
    if installed < 3:
        expected["legacy.hlp"] = b"old help"  # a patch does not delete files
    assert after == expected
    # Each release added code: the oldest versions reach 4.0 through chains.
    assert int(re.search(r"(\d+) chained", output).group(1)) > 0
    assert "legacy.hlp" in output
    # The follow-up program of [pack] ran once, from the unpack folder.
    assert len(case.record("after.exe")) == 1


PRODUCT = '[product]\nname = "Sample"\nfrom = "1.0"\nto = "4.0"\n'


@pytest.mark.parametrize("command", ["make", "build"])
@pytest.mark.parametrize("fault,project_text,message", [
    # The project file's own faults, named with file and line.
    ("unknown key", PRODUCT + 'edition = "pro"\n[folders]\nnew = "v4"\nold = ["v1"]\n',
     "product.toml:5: unknown key 'edition' in [product]"),
    ("missing folder", PRODUCT + '[folders]\nnew = "v4"\nold = ["v0"]\n',
     "product.toml:7: [folders] old 'v0' does not exist"),
    # A patch that would not bring every old folder to the new version: without
    # full records, the file that 1.0 lacks cannot be created there.
    ("new file not created", PRODUCT + '[folders]\nnew = "v4"\nold = ["v1", "v3"]\n'
     '[options]\nfull = false\n', "data/plugins.dat: missing from"),
])
def test_faults_fail_the_command_and_write_nothing(case, tool, command, fault, project_text, message):
    for n, files in enumerate(versions()):
        write_folder(case.path("v%d" % (n + 1)), files)
    case.path("product.toml").write_text(project_text)
    out = case.path("update.out")
    stub = ["--stub", str(kit.SFX)] if command == "build" else []
    result = kit.run_tool(tool, command, case.path("product.toml"), "-o", out, *stub)
    assert result.returncode == 1, result.stdout + result.stderr
    assert message in result.stderr
    assert not out.exists()


@pytest.mark.parametrize("command", ["make", "build"])
def test_file_of_2_gib_is_refused_with_its_name(case, tool, command):
    """The format holds sizes in 32 bits and the encoder takes less than 2 GiB:
    a larger file is named before anything is read (a sparse file, so cheap)."""
    for n, files in enumerate(versions()):
        write_folder(case.path("v%d" % (n + 1)), files)
    with open(case.path("v4/data/huge.bin"), "wb") as huge:
        huge.truncate(2 << 30)
    case.path("product.toml").write_text(PRODUCT + '[folders]\nnew = "v4"\nold = ["v3"]\n')
    out = case.path("update.out")
    result = kit.run_tool(tool, command, case.path("product.toml"), "-o", out)
    assert result.returncode == 1, result.stdout + result.stderr
    assert re.search(r"v4[\\/]data[\\/]huge\.bin: files of 2 GiB or more are not supported",
                     result.stderr), result.stderr
    assert not out.exists()


def test_japanese_file_and_folder_names_under_code_page_932(case, tool, no_leftovers):
    """Names whose Shift-JIS characters end in the byte 0x5C ("表" 95 5C, "ソ"
    83 5C, "能" 94 5C), also at the end of a folder or file name, where a
    byte-wise reading would see an empty component: `selfpatch make` writes
    them from a UTF-8 project file in code page 932, and the installer, on a
    system with that code page, finds and updates them."""
    old = {"表示.dll": b"display 1.0\r\n" * 50, "ソフト表/設定.ini": b"[settings]\r\nv=1\r\n",
           "機能": b"feature 1"}
    new = {"表示.dll": b"display 2.0\r\n" * 50, "ソフト表/設定.ini": b"[settings]\r\nv=2\r\n",
           "機能": b"feature 2"}
    write_folder(case.path("v1"), old)
    write_folder(case.path("v2"), new)
    product = case.path("product")
    write_folder(product, old)
    case.path("product.toml").write_text(
        '[product]\nname = "製品"\nfrom = "1.0"\nto = "2.0"\nlanguage = "ja"\n'
        '[folders]\nnew = "v2"\nold = ["v1"]\n', encoding="utf-8")
    made = kit.run_tool(tool, "make", case.path("product.toml"), "-o", case.path("update.dif"))
    assert made.returncode == 0, made.stderr
    assert "表".encode("cp932") in case.path("update.dif").read_bytes()
    installer = kit.pack(case.path("update.dif"), case.path("update.exe"), silent=True)

    run = kit.run(installer, env=dict(case.env, WINEPATH=kit.to_windows(product),
                                      LC_ALL="ja_JP.UTF-8"))

    assert run.code == 0
    assert snapshot(product) == new
