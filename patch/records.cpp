#include "patch/records.h"

#include "patch/delta.h"
#include "patch/record_name.h"

const uint8_t* ReadRecordFlags(ByteView record, uint32_t& flags) {
  flags = 0;
  uint32_t shift = 0;
  for (uint32_t i = kRecordFixedSize; i < record.size; ++i) {
    const uint8_t byte = record.data[i];
    if (byte >= 0x20) return record.data + i;
    if (shift < 32) flags |= uint32_t(byte & 0x1F) << shift;
    shift += 5;
  }
  return nullptr;
}

PatchFaultKind ReadRecordLayout(ByteView records, uint32_t offset, FileRecord& record) {
  ByteCursor cursor(records.From(offset));
  if (offset >= records.size || cursor.Remaining() < kRecordFixedSize)
    return PatchFaultKind::RecordCutShort;
  cursor.ReadU32(record.recordLength);
  if (!records.Contains(offset, record.recordLength)) return PatchFaultKind::RecordRunsPastEnd;
  if (record.recordLength < kRecordFixedSize) return PatchFaultKind::RecordTooSmall;
  cursor.ReadU32(record.oldSize);
  cursor.ReadU32(record.oldCrc);
  cursor.ReadU32(record.newCrc);
  cursor.ReadU32(record.lastWriteTimeLow);
  cursor.ReadU32(record.lastWriteTimeHigh);

  const ByteView bytes = records.Slice(offset, record.recordLength);
  const uint8_t* name = ReadRecordFlags(bytes, record.flags);
  if (!name) return PatchFaultKind::NoName;
  ByteCursor nameCursor(bytes.From(uint32_t(name - bytes.data)));
  uint32_t nameLength = 0;
  if (!nameCursor.ReadCString(record.name, nameLength)) return PatchFaultKind::NameWithoutNul;
  record.offset = offset;
  record.body = nameCursor.view.From(nameCursor.position);
  return PatchFaultKind::None;
}

bool ReadRecord(ByteView records, uint32_t offset, FileRecord& record) {
  return offset < records.size && ReadRecordLayout(records, offset, record) == PatchFaultKind::None;
}

namespace {

// The first fault of the record that reads at `offset`, or None.
PatchFaultKind RecordContentFault(const FileRecord& record, LeadByteTest isLeadByte) {
  if (!IsSafeRecordName(record.name, isLeadByte)) return PatchFaultKind::UnsafeName;
  if (record.oldSize != 0 && !ValidDeltaHeader(record.body)) return PatchFaultKind::DeltaHeaderBroken;
  return PatchFaultKind::None;
}

bool Refuse(PatchFault* fault, PatchFaultKind kind, uint32_t offset) {
  if (fault) *fault = PatchFault{kind, offset};
  return false;
}

}  // namespace

bool ValidateRecordsArea(ByteView records, LeadByteTest isLeadByte, PatchFault* fault) {
  if (records.size == 0) return Refuse(fault, PatchFaultKind::RecordCutShort, 0);
  for (uint32_t offset = 0; offset < records.size;) {
    FileRecord record;
    PatchFaultKind kind = ReadRecordLayout(records, offset, record);
    if (kind == PatchFaultKind::None) kind = RecordContentFault(record, isLeadByte);
    if (kind != PatchFaultKind::None) return Refuse(fault, kind, offset);
    offset = NextRecord(record);
  }
  return true;
}
