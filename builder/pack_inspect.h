// What `selfpatch inspect` reports about an installer or a patch: the switches,
// the payload entries, the patch's texts by key and its records, and the first
// structural fault that the installer would stumble on, with its offset.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "builder/format/payload_writer.h"
#include "patch/bytes.h"
#include "patch/record_name.h"

// The first fault found: where (the file, the payload, or the patch inside an
// installer), the offset there and what is wrong.
struct InspectFault {
  std::string where;
  uint32_t offset = 0;
  std::string message;

  std::string Describe() const;
};

struct InspectedText {
  uint32_t offset = 0;  // of the entry's key
  int key = 0;
  Bytes text;
  bool inEffect = true;  // false when a later entry gives the same key
};

struct InspectedRecord {
  uint32_t offset = 0;  // of the record within the patch file
  std::string name;     // bytes of the patch's code page
  uint32_t flags = 0;
  uint32_t oldSize = 0;
  uint32_t oldCrc = 0;
  uint32_t newCrc = 0;
  uint64_t lastWriteTime = 0;  // FILETIME
  bool delta = false;
  uint32_t bodySize = 0;
};

struct PatchInspection {
  std::vector<InspectedText> texts;
  uint32_t recordsOffset = 0;  // first byte after "DIF0"; 0 when not found
  std::vector<InspectedRecord> records;
  std::vector<std::string> warnings;
  std::optional<InspectFault> fault;
};

struct InspectedEntry {
  std::string name;
  uint32_t offset = 0;  // of the entry within the payload
  uint32_t compressedSize = 0;
  std::optional<uint64_t> inflatedSize;  // absent when the entry is empty or damaged
};

struct InstallerInspection {
  uint64_t fileSize = 0;
  bool checksumMatches = false;
  std::string switches;
  std::vector<InspectedEntry> entries;
  std::string patchName;  // the second entry, which the installer opens as its patch
  std::optional<PatchInspection> patch;
  Bytes patchContent;  // the patch entry, inflated
  std::vector<std::string> warnings;
  std::optional<InspectFault> fault;  // of the installer itself or, nested, of its patch
};

// Role of key `key` of a patch's texts, in a few words; "no role" for keys
// the installer ignores, "" outside 0..49.
const char* TextRoleSummary(int key);

// Checks and describes a patch file the way the installer reads it, on a
// system whose code page has the lead bytes `leadBytes` (null: single-byte).
PatchInspection InspectPatch(ByteView patch, LeadByteTest leadBytes = nullptr);

// Checks and describes a packed installer, and the patch it carries.
InstallerInspection InspectInstaller(Bytes file, LeadByteTest leadBytes = nullptr);

// True for a file that begins like a Windows program ("MZ").
bool LooksLikeProgram(ByteView file);

// `text` (bytes in code page `codePage`) as UTF-8; bytes that do not convert
// appear as \xNN. Code page 0 or 65001 takes the bytes as UTF-8 already.
// Throws std::runtime_error for a code page iconv does not know.
std::string DecodeText(const std::string& text, int codePage);
