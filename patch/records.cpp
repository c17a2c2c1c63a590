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

bool ReadRecord(ByteView records, uint32_t offset, FileRecord& record) {
  ByteCursor cursor(records.From(offset));
  if (offset >= records.size || cursor.Remaining() < kRecordFixedSize) return false;
  cursor.ReadU32(record.recordLength);
  if (record.recordLength < kRecordFixedSize || !records.Contains(offset, record.recordLength))
    return false;
  cursor.ReadU32(record.oldSize);
  cursor.ReadU32(record.oldCrc);
  cursor.ReadU32(record.newCrc);
  cursor.ReadU32(record.lastWriteTimeLow);
  cursor.ReadU32(record.lastWriteTimeHigh);

  const ByteView bytes = records.Slice(offset, record.recordLength);
  const uint8_t* name = ReadRecordFlags(bytes, record.flags);
  if (!name) return false;
  ByteCursor nameCursor(bytes.From(uint32_t(name - bytes.data)));
  uint32_t nameLength = 0;
  if (!nameCursor.ReadCString(record.name, nameLength)) return false;
  record.offset = offset;
  record.body = nameCursor.view.From(nameCursor.position);
  return true;
}

bool ValidateRecordsArea(ByteView records, LeadByteTest isLeadByte) {
  if (records.size == 0) return false;
  uint32_t offset = 0;
  while (offset < records.size) {
    FileRecord record;
    if (!ReadRecord(records, offset, record)) return false;
    if (!IsSafeRecordName(record.name, isLeadByte)) return false;
    if (record.oldSize != 0 && !ValidDeltaHeader(record.body)) return false;
    offset = NextRecord(record);
  }
  return offset == records.size;
}
