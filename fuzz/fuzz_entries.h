// Entry points of the fuzz targets, shared by the libFuzzer programs and by the
// native test that replays every corpus file. Each one feeds untrusted bytes to
// a parser and checks what must hold whatever the bytes are.
#pragma once

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

#include "builder/format/delta_output.h"
#include "builder/format/delta_writer.h"
#include "builder/format/patch_writer.h"
#include "builder/pack.h"
#include "builder/pack_inspect.h"
#include "builder/pe_image.h"
#include "builder/record_names.h"
#include "builder/texts.h"
#include "fuzz/reference_delta.h"
#include "launcher/payload.h"
#include "patch/crc32.h"
#include "patch/delta.h"
#include "patch/header.h"
#include "patch/plan.h"
#include "patch/record_name.h"
#include "patch/records.h"
#include "ui/format.h"

#define SP_FUZZ_CHECK(condition) \
  do {                           \
    if (!(condition)) abort();   \
  } while (0)

// A heap copy of exactly `size` bytes, so that ASan catches a read one byte past
// the input (libFuzzer's own buffer may have slack after it).
inline uint8_t* ExactCopy(const uint8_t* data, size_t size) {
  uint8_t* copy = static_cast<uint8_t*>(malloc(size ? size : 1));
  if (size) memcpy(copy, data, size);
  return copy;
}

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
  uint8_t* oldCopy = ExactCopy(old.data, old.size);
  uint8_t* bodyCopy = ExactCopy(body.data, body.size);
  static uint8_t output[kFuzzOutputCap];
  MemoryOutput memory{output, kFuzzOutputCap, 0};
  const bool complete =
      ApplyDelta(ToMemory(memory), ByteView{bodyCopy, body.size}, ByteView{oldCopy, old.size});
  SP_FUZZ_CHECK(!complete || ValidDeltaHeader(ByteView{bodyCopy, body.size}));
  free(oldCopy);
  free(bodyCopy);
  return 0;
}

// A file-like output of the decoder: a buffer of a few bytes before each write
// into `bytes`, which refuses (and marks) a write past kFuzzOutputCap.
struct CappedStream {
  std::vector<uint8_t> bytes;
  bool overflowed = false;

  static bool Write(void* context, const uint8_t* data, uint32_t length) {
    CappedStream& stream = *static_cast<CappedStream*>(context);
    if (kFuzzOutputCap - stream.bytes.size() < length) {
      stream.overflowed = true;
      return false;
    }
    stream.bytes.insert(stream.bytes.end(), data, data + length);
    return true;
  }
};

// The same delta through a buffer of `capacity` bytes, where steps larger than
// the buffer go out on their own, must give what the in-place memory output
// gave. Where the stream overflowed the cap the memory output also stopped at
// it, possibly a step earlier: then only what both wrote is compared.
inline void CheckSmallBufferOutput(ByteView body, ByteView old, const uint8_t* expected,
                                   uint32_t expectedLength, bool expectedComplete,
                                   uint32_t capacity) {
  CappedStream stream;
  std::vector<uint8_t> buffer(capacity);
  const DeltaOutput output{&stream, CappedStream::Write, buffer.data(), capacity, false};
  const bool complete = ApplyDelta(output, body, old);
  const size_t common = std::min<size_t>(stream.bytes.size(), expectedLength);
  SP_FUZZ_CHECK(common == 0 || memcmp(stream.bytes.data(), expected, common) == 0);
  if (stream.overflowed) return;
  SP_FUZZ_CHECK(complete == expectedComplete);
  SP_FUZZ_CHECK(stream.bytes.size() == expectedLength);
}

// The installer's delta decoder against the plain reference decoder, same input
// layout as FuzzDeltaDecoder. With a readable DeltaHeader both must agree on
// whether the delta is whole and on every byte produced up to the end or the
// fault; without one the installer's decoder must refuse and write nothing.
inline int FuzzDeltaDifferential(const uint8_t* data, size_t size) {
  if (size < 2 || size > 0xFFFFFFFFu) return 0;
  const uint32_t oldSize = LoadLe16(data) < size - 2 ? LoadLe16(data) : uint32_t(size - 2);
  const std::vector<uint8_t> old(data + 2, data + 2 + oldSize);
  const std::vector<uint8_t> body(data + 2 + oldSize, data + size);
  uint8_t* oldCopy = ExactCopy(old.data(), old.size());
  uint8_t* bodyCopy = ExactCopy(body.data(), body.size());
  const ByteView bodyView{bodyCopy, uint32_t(body.size())};
  static uint8_t output[kFuzzOutputCap];
  MemoryOutput memory{output, kFuzzOutputCap, 0};
  const bool complete = ApplyDelta(ToMemory(memory), bodyView, ByteView{oldCopy, uint32_t(old.size())});
  const reference::DecodedDelta expected = reference::DecodeDelta(body, old, kFuzzOutputCap);
  if (ValidDeltaHeader(bodyView)) {
    SP_FUZZ_CHECK(complete == expected.complete);
    SP_FUZZ_CHECK(memory.length == expected.bytes.size());
    SP_FUZZ_CHECK(memory.length == 0 || memcmp(output, expected.bytes.data(), memory.length) == 0);
  } else {
    SP_FUZZ_CHECK(!complete && memory.length == 0);
  }
  CheckSmallBufferOutput(bodyView, ByteView{oldCopy, uint32_t(old.size())}, output, memory.length,
                         complete, 1 + uint32_t(size % 13));
  free(oldCopy);
  free(bodyCopy);
  return 0;
}

// The builder's reader of installer programs. The first input byte chooses what
// the rest is: even, a whole program (PE image, resources, switch area, payload,
// patch, as `inspect` reads them); odd, a resource section alone. Whatever the
// reader accepts must come back unchanged when written out and read again.
inline int FuzzInstallerImage(const uint8_t* data, size_t size) {
  if (size < 1 || size > (1u << 24)) return 0;
  const Bytes bytes(data + 1, data + size);
  if (data[0] & 1) {
    constexpr uint32_t kSectionRva = 0x6000;
    ResourceTree tree;
    try {
      tree = ParseResourceTree(ByteView{bytes.data(), uint32_t(bytes.size())}, kSectionRva, 0);
    } catch (const PeError&) {
      return 0;
    }
    const Bytes rebuilt = BuildResourceSection(tree, kSectionRva);
    SP_FUZZ_CHECK(ParseResourceTree(ByteView{rebuilt.data(), uint32_t(rebuilt.size())}, kSectionRva, 0) == tree);
    return 0;
  }
  const InstallerInspection inspection = InspectInstaller(bytes);
  SP_FUZZ_CHECK(inspection.fileSize == bytes.size());
  PeImage image;
  try {
    image = ParsePeImage(bytes);
  } catch (const PeError&) {
    SP_FUZZ_CHECK(inspection.fault.has_value());
    return 0;
  }
  try {
    ReadInstaller(bytes);
  } catch (const std::exception&) {
  }
  std::vector<std::string> warnings;
  Bytes rebuilt;
  try {
    rebuilt = RebuildPeImage(image, image.resources, warnings);
  } catch (const PeError&) {
    return 0;
  }
  const PeImage again = ParsePeImage(rebuilt);
  SP_FUZZ_CHECK(again.resources == image.resources);
  SP_FUZZ_CHECK(again.sections.size() == image.sections.size());
  return 0;
}

// The records area: validation and the record walk must agree, and every
// record that reads has its name and body inside it.
inline int FuzzRecordsArea(const uint8_t* data, size_t size) {
  if (size > 0xFFFFFFFFu) return 0;
  uint8_t* copy = ExactCopy(data, size);
  const ByteView records{copy, uint32_t(size)};
  PatchFault fault;
  const bool valid = ValidateRecordsArea(records, nullptr, &fault);
  SP_FUZZ_CHECK((fault.kind == PatchFaultKind::None) == valid);

  uint32_t offset = 0, count = 0;
  bool brokenDelta = false, unsafeName = false;
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
    if (!IsSafeRecordName(record.name)) unsafeName = true;
    SP_FUZZ_CHECK(NextRecord(record) > offset);
    offset = NextRecord(record);
    ++count;
  }
  SP_FUZZ_CHECK(valid == (count > 0 && offset == records.size && !brokenDelta && !unsafeName));
  // The fault is at the first record that does not read, or before it.
  if (!valid) SP_FUZZ_CHECK(fault.offset <= offset);
  free(copy);
  return 0;
}

// One group of the update plan: it holds its records, its CRC lists hold what
// they should, and every choice and chain step lies inside it.
inline void CheckPlanGroup(ByteView records, const RecordGroup& group) {
  SP_FUZZ_CHECK(group.start < group.end && group.end <= records.size);
  SP_FUZZ_CHECK(group.recordCount == CountRecords(records, group.start, group.end));
  SP_FUZZ_CHECK(group.crcCount <= kCrcListMax && group.newCrcCount <= kCrcListMax);
  if (group.creatable) SP_FUZZ_CHECK(group.hasFullContent);
  if (group.allowDriveScan) SP_FUZZ_CHECK(!group.optional && !group.creatable);
  FileRecord record;
  int32_t count = 0;
  for (uint32_t offset = group.start; offset < group.end; offset = NextRecord(record)) {
    SP_FUZZ_CHECK(ReadRecord(records, offset, record));
    ++count;
    SP_FUZZ_CHECK(IsCrcListed(group.newCrcs, group.newCrcCount, record.newCrc) ||
                  group.newCrcCount == kCrcListMax);
    if (record.oldSize == 0) SP_FUZZ_CHECK(group.hasFullContent);
    FileRecord chosen;
    bool upToDate = false;
    if (ChooseRecord(records, group, record.oldCrc, record.oldSize, chosen, upToDate))
      SP_FUZZ_CHECK(chosen.offset >= group.start && chosen.offset < group.end);
    FileRecord next;
    if (FindContinuation(records, group.start, group.end, record.newCrc, record.oldSize, next))
      SP_FUZZ_CHECK(next.offset >= group.start && next.offset < group.end &&
                    next.oldCrc == record.newCrc && next.oldSize == record.oldSize);
  }
  SP_FUZZ_CHECK(count == group.recordCount);
}

// The update plan over a records area, for both families and with two name
// comparisons: the groups tile what they cover and each one holds together.
inline int FuzzUpdatePlan(const uint8_t* data, size_t size) {
  if (size > 0xFFFFFFFFu) return 0;
  uint8_t* copy = ExactCopy(data, size);
  const ByteView records{copy, uint32_t(size)};
  for (const bool isNt : {true, false}) {
    for (const int codepage : {0, 932}) {
      FileRecord first;
      for (uint32_t offset = 0; ReadRecord(records, offset, first);) {
        if (!PlatformFits(first.flags, isNt)) {
          offset = NextRecord(first);
          continue;
        }
        RecordGroup group;
        FormGroup(records, first, RecordNamesEqualFor(codepage), group);
        SP_FUZZ_CHECK(group.start == offset);
        CheckPlanGroup(records, group);
        offset = group.end;
      }
    }
  }
  free(copy);
  return 0;
}

// The patch header parser: the slots it fills point at texts that end inside
// the file, and a header that parses leaves "DIF0" and at least one record byte.
inline int FuzzPatchHeader(const uint8_t* data, size_t size) {
  if (size > 0xFFFFFFFFu) return 0;
  uint8_t* copy = ExactCopy(data, size);
  StringTable table;
  SetDefaultStrings(table);
  StringTable defaults = table;
  PatchFault fault;
  const uint8_t* records = ParsePatchHeader(copy, uint32_t(size), table, &fault);
  // A refusal names what and where; an acceptance names nothing.
  SP_FUZZ_CHECK((fault.kind == PatchFaultKind::None) == (records != nullptr));
  SP_FUZZ_CHECK(fault.offset <= size);
  if (records) {
    SP_FUZZ_CHECK(records >= copy + 4 && records < copy + size);
    SP_FUZZ_CHECK(memcmp(records - 4, "DIF0", 4) == 0);
    FuzzRecordsArea(records, size_t(copy + size - records));
  }
  for (int key = 0; key < kStringKeyCount; ++key) {
    const uint8_t* text = reinterpret_cast<const uint8_t*>(table.text[key]);
    if (table.text[key] == defaults.text[key]) continue;
    SP_FUZZ_CHECK(text > copy && text <= copy + size);
    SP_FUZZ_CHECK(memchr(text, 0, size_t(copy + size - text)) != nullptr);
  }
  free(copy);
  return 0;
}

// The payload container walk: entries lie inside the payload, and a payload that
// checks gives a command line that fits.
inline int FuzzPayloadContainer(const uint8_t* data, size_t size) {
  if (size < 1 || size > 0xFFFFFFFFu) return 0;
  const bool silent = data[0] & 1;
  uint8_t* copy = ExactCopy(data + 1, size - 1);
  const ByteView payload{copy, uint32_t(size - 1)};
  ByteCursor cursor(payload);
  PayloadEntry entry;
  while (ReadPayloadEntry(cursor, entry) == PayloadEntryRead) {
    SP_FUZZ_CHECK(entry.data.data >= payload.data &&
                  entry.data.data + entry.data.size <= payload.data + payload.size);
    SP_FUZZ_CHECK(strlen(entry.name) == entry.nameLength);
    IsSafeEntryName(entry);
  }
  char commandLine[kDriverCommandLineSize];
  if (CheckPayload(payload, silent, commandLine))
    SP_FUZZ_CHECK(strlen(commandLine) < kDriverCommandLineSize);
  free(copy);
  return 0;
}

// Writer and decoder together: operations taken from the input, written by
// DeltaWriter, must decode to exactly the bytes they describe. Input: a 16-bit
// old-file length and the old bytes, then operations of 5 bytes each: a kind
// byte, a 16-bit position and a 16-bit length; a copy's new bytes are the old
// ones changed at the positions that following input bytes name.
inline int FuzzDeltaRoundTrip(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  ByteCursor cursor(ByteView{data, uint32_t(size > 0xFFFF ? 0xFFFF : size)});
  uint16_t oldSize = 0;
  cursor.ReadU16(oldSize);
  ByteView oldBytes;
  if (!cursor.ReadBytes(oldSize < cursor.Remaining() ? oldSize : cursor.Remaining(), oldBytes)) return 0;
  const Bytes old(oldBytes.data, oldBytes.data + oldBytes.size);
  DeltaWriter writer(old);
  Bytes expected;
  ByteView op;
  while (cursor.ReadBytes(5, op)) {
    const uint32_t position = LoadLe16(op.data + 1), length = LoadLe16(op.data + 3);
    if (op.data[0] & 1 || old.empty()) {
      const Bytes literal(op.data, op.data + 5);
      writer.Literal(literal);
      expected.insert(expected.end(), literal.begin(), literal.end());
      continue;
    }
    const uint32_t start = position % old.size();
    const uint32_t count = length % (old.size() - start + 1);
    Bytes block(old.begin() + start, old.begin() + start + count);
    uint8_t change = 0;
    for (int changes = op.data[0] >> 1; changes > 0 && count && cursor.ReadU8(change); --changes)
      block[(change * 7u + uint32_t(changes)) % count] += change | 1;
    writer.Copy(start, block);
    expected.insert(expected.end(), block.begin(), block.end());
  }
  bool complete = false;
  SP_FUZZ_CHECK(DecodeDelta(writer.Finish(), old, &complete) == expected && complete);
  return 0;
}

// The formatter over a patch text with caller arguments. Input: a byte that
// sizes the output buffer, the format text up to a NUL, then the arguments:
// each a kind byte (odd: a NUL-terminated text follows, even: a 32-bit
// number). The buffer and the argument list are exactly sized heap blocks, so
// a write past the one or a read past the other is caught.
inline int FuzzFormatText(const uint8_t* data, size_t size) {
  if (size < 1 || size > 0xFFFFFFFFu) return 0;
  const int bufferSize = 1 + data[0] * 5;
  const uint8_t* end = data + size;
  const uint8_t* p = data + 1;
  auto takeText = [&]() {
    std::string text;
    while (p < end && *p) text.push_back(char(*p++));
    if (p < end) ++p;
    return text;
  };
  const std::string format = takeText();
  std::vector<std::string> texts;
  std::vector<uint32_t> numbers;
  std::vector<bool> isText;
  while (p < end && isText.size() < 16) {
    const bool text = *p++ & 1;
    isText.push_back(text);
    if (text) {
      texts.push_back(takeText());
    } else {
      uint8_t word[4] = {};
      for (int i = 0; i < 4 && p < end; ++i) word[i] = *p++;
      numbers.push_back(LoadLe32(word));
    }
  }
  const size_t count = isText.size();
  FormatArg* args = static_cast<FormatArg*>(malloc(sizeof(FormatArg) * (count ? count : 1)));
  for (size_t i = 0, t = 0, n = 0; i < count; ++i)
    args[i] = isText[i] ? FormatArg(texts[t++].c_str()) : FormatArg(unsigned(numbers[n++]));
  char* buffer = static_cast<char*>(malloc(size_t(bufferSize)));
  const int length = FormatText(buffer, bufferSize, format.c_str(), args, int(count));
  SP_FUZZ_CHECK(length >= 0 && length < bufferSize);
  SP_FUZZ_CHECK(buffer[length] == 0 && strlen(buffer) == size_t(length));
  free(buffer);
  free(args);
  return 0;
}

// The texts of a project file on their way into a patch. Input: a key byte
// (modulo 50), a code page byte (one of four), then the text as UTF-8 or not.
// The checks and the conversion may refuse the text, but never crash; a text
// they accept is one the installer's formatter fully understands, and the
// header built from it reads back through the installer's header parser.
inline int FuzzProjectTexts(const uint8_t* data, size_t size) {
  if (size < 2 || size > 4096) return 0;
  static const int kCodePages[] = {1252, 932, 1251, 936};
  const int key = data[0] % 50;
  const int codepage = kCodePages[data[1] % 4];
  const std::string text(reinterpret_cast<const char*>(data + 2), size - 2);

  const std::string reason = CheckTextConversions(key, text);
  const TextRole* role = FindTextRole(key);
  if (reason.empty() && role && role->isFormat && text.size() <= 256 && text.find('\0') == std::string::npos) {
    std::vector<FormatArg> args;
    for (char kind : role->args) args.push_back(kind == 's' ? FormatArg("arg") : FormatArg(7u));
    static char shown[256 * 4100 + 64];  // every conversion at its widest
    FormatText(shown, sizeof shown, text.c_str(), args.data(), int(args.size()));
    size_t escaped = 0, percents = 0;
    for (size_t p = 0; p + 1 < text.size(); ++p)
      if (text[p] == '%' && text[p + 1] == '%') ++escaped, ++p;
    for (const char* p = shown; *p; ++p) percents += *p == '%';
    SP_FUZZ_CHECK(percents == escaped);
  }

  try {
    const std::string converted = ConvertToCodePage(text, codepage);
    SP_FUZZ_CHECK(converted.find('\0') == std::string::npos);
    SP_FUZZ_CHECK(converted.find('\r') == std::string::npos);
  } catch (const std::runtime_error&) {
  }

  TextRequest request;
  request.language = data[1] & 4 ? "ja" : "en";
  request.codepage = codepage;
  request.texts = {{std::to_string(key), text}};
  std::vector<HeaderEntry> entries;
  try {
    entries = BuildHeaderEntries(request);
  } catch (const std::runtime_error&) {
    return 0;
  }
  PatchFile patch;
  patch.entries = entries;
  patch.records.push_back(FullRecord("f", Bytes{1}));
  const Bytes file = WritePatch(patch);
  StringTable table;
  SetDefaultStrings(table);
  SP_FUZZ_CHECK(ParsePatchHeader(file.data(), uint32_t(file.size()), table) != nullptr);
  for (const HeaderEntry& entry : entries) {
    const int entryKey = std::stoi(entry.key);
    SP_FUZZ_CHECK(CheckTextConversions(entryKey, entry.text).empty());
    SP_FUZZ_CHECK(table.text[entryKey] && entry.text == table.text[entryKey]);
  }
  return 0;
}
