// Writes patch files: header entries (key digits, ':', text, NUL), the magic
// "DIF0" and the file records. Numbers that describe the content (oldSize,
// oldCrc, newCrc, recordLength) are computed, and may be overridden afterwards
// to build faulty patches for tests.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "builder/format/payload_writer.h"
#include "patch/record_name.h"

struct PatchRecord {
  std::string name;
  uint32_t flags = 0;
  std::optional<Bytes> flagBytes;  // written instead of the bytes of `flags`
  uint64_t lastWriteTime = 0;      // FILETIME
  uint32_t oldSize = 0;
  uint32_t oldCrc = 0;
  uint32_t newCrc = 0;
  Bytes body;
  std::optional<uint32_t> recordLength;  // written instead of the true length
  bool allowUnsafeName = false;  // a name the installer refuses (test fixtures only)
};

// A record that carries the whole new file.
PatchRecord FullRecord(const std::string& name, const Bytes& content, uint32_t flags = 0);

// A record with a delta body over `old`; newCrc is that of the decoded file.
// Throws std::invalid_argument when the body does not decode completely.
PatchRecord DeltaRecord(const std::string& name, const Bytes& old, const Bytes& deltaBody,
                        uint32_t flags = 0);

struct HeaderEntry {
  std::string key;   // decimal digits as written ("07" is key 7)
  std::string text;  // bytes in the patch's code page, without the NUL
};

struct PatchFile {
  std::vector<HeaderEntry> entries;
  bool magic = true;
  std::vector<PatchRecord> records;
  // The lead bytes of the code page the names are written in (null: none).
  LeadByteTest leadBytes = nullptr;

  void SetText(int key, const std::string& text) { entries.push_back({std::to_string(key), text}); }
};

// The fewest flag bytes that carry `flags`, 5 bits each, lowest bits first.
Bytes FlagBytesFor(uint32_t flags);

// Throw std::invalid_argument for a name that is not a safe relative path
// (IsSafeRecordName) unless the record allows it.
Bytes WriteRecord(const PatchRecord& record, LeadByteTest leadBytes = nullptr);
Bytes WritePatch(const PatchFile& patch);
