// Entry points of the fuzz targets, shared by the libFuzzer programs and by the
// native test that replays every corpus file. Each one feeds untrusted bytes to
// a parser and checks what must hold whatever the bytes are.
#pragma once

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "patch/delta.h"
#include "patch/records.h"

#define SP_FUZZ_CHECK(condition) \
  do {                           \
    if (!(condition)) abort();   \
  } while (0)

// Output of a decoded delta is capped: a few bytes of delta can repeat a large
// old file many times over.
constexpr uint32_t kFuzzOutputCap = 1 << 20;

// The delta decoder over an old buffer. Input: a 16-bit little-endian old-file
// length, that many old bytes (as many as there are), then the delta body.
inline int FuzzDeltaDecoder(const uint8_t* data, size_t size) {
  if (size < 2 || size > 0xFFFFFFFFu) return 0;
  const ByteView input{data + 2, uint32_t(size - 2)};
  uint32_t oldSize = LoadLe16(data);
  if (oldSize > input.size) oldSize = input.size;
  const ByteView old = input.Slice(0, oldSize);
  const ByteView body = input.From(oldSize);
  // Exactly sized heap copies, so that any read past them is caught.
  uint8_t* oldCopy = static_cast<uint8_t*>(malloc(old.size + 1));
  uint8_t* bodyCopy = static_cast<uint8_t*>(malloc(body.size + 1));
  memcpy(oldCopy, old.data, old.size);
  memcpy(bodyCopy, body.data, body.size);
  static uint8_t output[kFuzzOutputCap];
  MemoryOutput memory{output, kFuzzOutputCap, 0};
  const bool complete =
      ApplyDelta(ToMemory(memory), ByteView{bodyCopy, body.size}, ByteView{oldCopy, old.size});
  SP_FUZZ_CHECK(!complete || ValidDeltaHeader(ByteView{bodyCopy, body.size}));
  free(oldCopy);
  free(bodyCopy);
  return 0;
}

// The records area: validation and the record walk must agree, and every
// record that reads has its name and body inside it.
inline int FuzzRecordsArea(const uint8_t* data, size_t size) {
  if (size > 0xFFFFFFFFu) return 0;
  uint8_t* copy = static_cast<uint8_t*>(malloc(size + 1));
  memcpy(copy, data, size);
  const ByteView records{copy, uint32_t(size)};
  const bool valid = ValidateRecordsArea(records);

  uint32_t offset = 0, count = 0;
  bool brokenDelta = false;
  FileRecord record;
  while (ReadRecord(records, offset, record)) {
    const uint8_t* first = records.data + record.offset;
    const uint8_t* end = first + record.recordLength;
    const uint8_t* name = reinterpret_cast<const uint8_t*>(record.name);
    SP_FUZZ_CHECK(name >= first + kRecordFixedSize && name < end && *name >= 0x20);
    SP_FUZZ_CHECK(name + strlen(record.name) < end);
    SP_FUZZ_CHECK(record.body.data + record.body.size == end);
    uint32_t flags = 0;
    SP_FUZZ_CHECK(ReadRecordFlags(records.Slice(record.offset, record.recordLength), flags) == name);
    SP_FUZZ_CHECK(flags == record.flags);
    if (record.oldSize != 0 && !ValidDeltaHeader(record.body)) brokenDelta = true;
    SP_FUZZ_CHECK(NextRecord(record) > offset);
    offset = NextRecord(record);
    ++count;
  }
  SP_FUZZ_CHECK(valid == (count > 0 && offset == records.size && !brokenDelta));
  free(copy);
  return 0;
}
