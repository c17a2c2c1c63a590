"""The shipped installer program as built: a 32-bit GUI program with the header
switch area free, only system DLLs imported, and its resources. The file is
read, never run, so these tests hold whichever build the others run."""
import re

import pefile
import pytest

import kit

RT_ICON, RT_STRING, RT_RCDATA, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 6, 10, 14, 16, 24
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll", "shell32.dll",
               "msvcrt.dll", "ole32.dll", "comctl32.dll"}
STRINGS = {
    1033: {1: "Irregal data found.\nPlease try to download again.", 2: "Unexpected error"},
    1041: {1: "アップデートプログラムのデータエラーです。\nもう一度ダウンロードして下さい。",
           2: "原因不明なエラーです。\nウィルス対策ソフトを一時停止して再度実行してください。"},
}


@pytest.fixture(scope="module")
def image():
    return kit.SHIPPED_SFX.read_bytes()


@pytest.fixture(scope="module")
def pe(image):
    return pefile.PE(data=image)


def resources(pe):
    """{(type, id, language): bytes}"""
    found = {}
    for type_entry in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        for id_entry in type_entry.directory.entries:
            for language in id_entry.directory.entries:
                data = language.data.struct
                found[(type_entry.id, id_entry.id, language.id)] = pe.get_data(
                    data.OffsetToData, data.Size)
    return found


def string_block(data):
    """The 16 strings of a string-table block, decoded from UTF-16."""
    strings, position = [], 0
    for _ in range(16):
        length = int.from_bytes(data[position:position + 2], "little")
        strings.append(data[position + 2:position + 2 + 2 * length].decode("utf-16-le"))
        position += 2 + 2 * length
    return strings


def test_layout_keeps_the_switch_area_free(image, pe):
    assert pe.FILE_HEADER.Machine == pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"]
    assert pe.OPTIONAL_HEADER.Subsystem == pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_GUI"]
    assert len(image) % 4 == 0
    assert image[960:1024] == bytes(64)
    assert min(s.PointerToRawData for s in pe.sections if s.SizeOfRawData) == 1024
    assert pe.OPTIONAL_HEADER.SizeOfHeaders <= 1024


def test_large_address_aware(pe):
    """A 64-bit system then gives the installer 4 GiB of address space."""
    assert pe.FILE_HEADER.Characteristics & pefile.IMAGE_CHARACTERISTICS[
        "IMAGE_FILE_LARGE_ADDRESS_AWARE"]


def test_imports_only_system_dlls(pe):
    imported = {e.dll.decode().lower() for e in pe.DIRECTORY_ENTRY_IMPORT}
    assert imported <= SYSTEM_DLLS, imported - SYSTEM_DLLS
    names = {i.name for e in pe.DIRECTORY_ENTRY_IMPORT for i in e.imports if i.name}
    assert not any(n.startswith(b"inflate") for n in names)  # zlib is linked in


def test_error_texts_in_english_and_japanese(pe):
    found = resources(pe)
    for language, texts in STRINGS.items():
        block = string_block(found[(RT_STRING, 1, language)])  # ids 0-15
        for string_id, text in texts.items():
            assert block[string_id] == text


def test_placeholder_payload_icon_version_and_manifest(pe):
    found = resources(pe)
    rcdata = {key: data for key, data in found.items() if key[:2] == (RT_RCDATA, 100)}
    assert rcdata == {(RT_RCDATA, 100, 1033): b"\0"}  # no neutral payload as built
    assert any(key[0] == RT_ICON for key in found)
    assert any(key[0] == RT_GROUP_ICON for key in found)
    version = [data for key, data in found.items() if key[0] == RT_VERSION]
    assert version and "VS_VERSION_INFO".encode("utf-16-le") in version[0]
    manifest = [data for key, data in found.items() if key[:2] == (RT_MANIFEST, 1)]
    assert manifest
    assert re.search(rb'requestedExecutionLevel\s+level="requireAdministrator"', manifest[0])
