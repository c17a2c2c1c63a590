// The patch file's header: numbered texts ("key:text\0" entries) up to the
// magic "DIF0", after which the file records begin.
#pragma once

#include <stdint.h>

#include "patch/fault.h"
#include "patch/text_keys.h"

constexpr int kStringKeyCount = kTextKeyMax + 1;

// Texts of the patch by key: each slot points at a NUL-terminated text inside
// the mapped patch file, or at a static empty text, or is absent (null).
struct StringTable {
  const char* text[kStringKeyCount];
};

// Puts every slot back to its default: keys 0-2, 4-8, 10-15 and 20-35 hold the
// empty text, the others are absent (null).
void SetDefaultStrings(StringTable& table);

// Called for each header entry read, with the entry's offset: `text` points
// into the patch and has `length` bytes before its NUL.
struct HeaderEntryVisitor {
  void (*visit)(void* context, uint32_t offset, int key, const char* text, uint32_t length);
  void* context;
};

// Reads the header entries of the patch file at `view` (`size` bytes) into
// `table`; the slots point into `view`. Returns the first byte after the magic
// (the first file record), or null when the header is faulty; then `fault`,
// when given, says what and where. Slots filled before a fault keep their
// texts.
const uint8_t* ParsePatchHeader(const uint8_t* view, uint32_t size, StringTable& table,
                                PatchFault* fault = nullptr,
                                const HeaderEntryVisitor* visitor = nullptr);

// The text of key `key` for showing: an absent slot reads as the empty text.
const char* KeyText(const StringTable& table, int key);
inline const char* KeyText(const StringTable& table, TextKey key) { return KeyText(table, int(key)); }

// The slot of `key`: null when the patch left it absent.
inline const char* KeySlot(const StringTable& table, TextKey key) { return table.text[int(key)]; }
