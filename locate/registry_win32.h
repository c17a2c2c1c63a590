// The steps of the registry probing, open to tests.
#pragma once

#include <windows.h>

constexpr size_t kRegistryTextSize = 256;  // a value text: 255 characters and a NUL

// The registry view the installer reads: the one a 32-bit program sees, where
// 32-bit products keep their keys and uninstall entries. The 64-bit test twin
// has to ask for it; the 32-bit program gets it by default and asks nothing.
#ifdef _WIN64
constexpr REGSAM kInstallerRegistryView = KEY_WOW64_32KEY;  // bitness: 64-bit twin only
#else
constexpr REGSAM kInstallerRegistryView = 0;
#endif

// Reads a text value (null valueName: the key's default value) of root\subkey
// into buffer. REG_SZ and REG_MULTI_SZ (its first string) are taken as they
// are, REG_EXPAND_SZ expanded; every other type, and a text that does not fit
// in `size` bytes with its NUL, counts as absent.
bool ReadRegistryText(HKEY root, const char* subkey, const char* valueName, char* buffer,
                      DWORD size);

// Replaces `text` by its expansion of at most 255 characters. False, with the
// text unchanged, when the expansion fails or does not fit (in 255 characters,
// or in the `capacity` bytes of the buffer).
bool ExpandValueText(char* text, size_t capacity = kRegistryTextSize);

// Reads one value and adds the folders named in it to the candidate folders.
// True if the value was read, whether or not it named a folder.
bool ProbeValue(HKEY root, const char* subkey, const char* valueName);
