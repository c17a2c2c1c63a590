#include "builder/format/patch_writer.h"

#include <iterator>
#include <stdexcept>

#include "builder/format/delta_output.h"
#include "patch/crc32.h"
#include "patch/format.h"
#include "patch/record_name.h"

namespace {

uint32_t Crc32Of(const Bytes& bytes) { return Crc32(bytes.data(), uint32_t(bytes.size())); }

void AppendLe32(Bytes& out, uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(uint8_t(value >> shift));
}

}  // namespace

PatchRecord FullRecord(const std::string& name, const Bytes& content, uint32_t flags) {
  PatchRecord record;
  record.name = name;
  record.flags = flags;
  record.newCrc = Crc32Of(content);
  record.body = content;
  return record;
}

PatchRecord DeltaRecord(const std::string& name, const Bytes& old, const Bytes& deltaBody,
                        uint32_t flags) {
  bool complete = false;
  const Bytes produced = DecodeDelta(deltaBody, old, &complete);
  if (!complete) throw std::invalid_argument("delta body does not decode over the old file");
  PatchRecord record;
  record.name = name;
  record.flags = flags;
  record.oldSize = uint32_t(old.size());
  record.oldCrc = Crc32Of(old);
  record.newCrc = Crc32Of(produced);
  record.body = deltaBody;
  return record;
}

Bytes FlagBytesFor(uint32_t flags) {
  Bytes bytes;
  for (; flags != 0; flags >>= 5) bytes.push_back(uint8_t(flags & 0x1F));
  return bytes;
}

Bytes WriteRecord(const PatchRecord& record, LeadByteTest leadBytes) {
  if (!record.allowUnsafeName) {
    if (record.name.find('\0') != std::string::npos)
      throw std::invalid_argument("record name holds a NUL byte");
    if (const char* fault = RecordNameFault(record.name.c_str(), leadBytes)) {
      const char* note = !leadBytes && HasShiftJisSeparatorByte(record.name.c_str())
                             ? " (the second byte 0x5C of a double-byte character counts as '\\')"
                             : "";
      throw std::invalid_argument("record name '" + record.name + "' is refused: " + fault + note);
    }
  }
  const Bytes flagBytes = record.flagBytes ? *record.flagBytes : FlagBytesFor(record.flags);
  Bytes out;
  AppendLe32(out, 0);  // recordLength, filled in below
  AppendLe32(out, record.oldSize);
  AppendLe32(out, record.oldCrc);
  AppendLe32(out, record.newCrc);
  AppendLe32(out, uint32_t(record.lastWriteTime));
  AppendLe32(out, uint32_t(record.lastWriteTime >> 32));
  out.insert(out.end(), flagBytes.begin(), flagBytes.end());
  out.insert(out.end(), record.name.begin(), record.name.end());
  out.push_back(0);
  out.insert(out.end(), record.body.begin(), record.body.end());
  StoreLe32(out.data(), record.recordLength ? *record.recordLength : uint32_t(out.size()));
  return out;
}

Bytes WritePatch(const PatchFile& patch) {
  Bytes out;
  for (const HeaderEntry& entry : patch.entries) {
    out.insert(out.end(), entry.key.begin(), entry.key.end());
    out.push_back(':');
    out.insert(out.end(), entry.text.begin(), entry.text.end());
    out.push_back(0);
  }
  if (patch.magic) out.insert(out.end(), std::begin(kPatchMagic), std::end(kPatchMagic));
  for (const PatchRecord& record : patch.records) {
    const Bytes bytes = WriteRecord(record, patch.leadBytes);
    out.insert(out.end(), bytes.begin(), bytes.end());
  }
  return out;
}
