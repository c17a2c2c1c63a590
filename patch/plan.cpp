#include "patch/plan.h"

#include "patch/crc32.h"

namespace {

void AddOnce(uint32_t* list, int32_t& count, uint32_t crc) {
  if (count < kCrcListMax && !IsCrcListed(list, count, crc)) list[count++] = crc;
}

void AddRecordCrcs(RecordGroup& group, const FileRecord& record) {
  // Each old CRC is listed as it comes, a new one only once.
  if (group.crcCount < kCrcListMax) group.crcList[group.crcCount++] = record.oldCrc;
  AddOnce(group.crcList, group.crcCount, record.newCrc);
  AddOnce(group.newCrcs, group.newCrcCount, record.newCrc);
}

}  // namespace

bool PlatformFits(uint32_t flags, bool isNt) {
  const uint32_t platform = flags & FlagPlatformMask;
  if (platform == Platform9x) return !isNt;
  if (platform == PlatformNt) return isNt;
  return true;
}

void FormGroup(ByteView records, const FileRecord& first, NamesEqual namesEqual,
               RecordGroup& group) {
  group = RecordGroup{};
  group.start = first.offset;
  group.optional = (first.flags & FlagOptional) != 0;
  FileRecord record = first;
  for (;;) {
    AddRecordCrcs(group, record);
    ++group.recordCount;
    if (record.oldSize == 0) group.hasFullContent = true;
    group.end = NextRecord(record);
    if (!ReadRecord(records, group.end, record)) break;
    if (!namesEqual(record.name, first.name)) break;
  }
  group.creatable = group.hasFullContent && (first.flags & FlagNoCreate) == 0;
  group.allowDriveScan = !group.optional && !group.creatable;
}

bool ChooseRecord(ByteView records, const RecordGroup& group, uint32_t crc, uint32_t size,
                  FileRecord& chosen, bool& upToDate) {
  upToDate = false;
  bool haveFallback = false;
  FileRecord record;
  for (uint32_t offset = group.start; offset < group.end && ReadRecord(records, offset, record);
       offset = NextRecord(record)) {
    if (record.oldCrc == crc && record.oldSize == size) {
      chosen = record;
      return true;
    }
    if (record.oldSize == 0) {
      chosen = record;
      haveFallback = true;
    }
    if (record.newCrc == crc) upToDate = true;
  }
  return haveFallback && !upToDate;
}

bool FindContinuation(ByteView records, uint32_t groupStart, uint32_t groupEnd, uint32_t crc,
                      uint32_t size, FileRecord& next) {
  for (uint32_t offset = groupStart; offset < groupEnd && ReadRecord(records, offset, next);
       offset = NextRecord(next)) {
    if (next.oldCrc == crc && next.oldSize == size) return true;
  }
  return false;
}

int32_t CountRecords(ByteView records, uint32_t groupStart, uint32_t groupEnd) {
  int32_t count = 0;
  FileRecord record;
  for (uint32_t offset = groupStart; offset < groupEnd && ReadRecord(records, offset, record);
       offset = NextRecord(record)) {
    ++count;
  }
  return count;
}
