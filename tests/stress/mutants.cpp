#include "tests/stress/mutants.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <iomanip>
#include <random>

#include "builder/encoder.h"
#include "builder/format/delta_output.h"
#include "builder/format/delta_writer.h"
#include "builder/pack.h"
#include "driver/command_line.h"
#include "fuzz/reference_delta.h"
#include "launcher/payload.h"
#include "patch/crc32.h"
#include "patch/delta.h"
#include "patch/header.h"
#include "patch/records.h"

namespace stress {
namespace {

Bytes B(const std::string& text) { return Bytes(text.begin(), text.end()); }

uint32_t CrcOf(const Bytes& bytes) { return Crc32(bytes.data(), uint32_t(bytes.size())); }

// --- the product ------------------------------------------------------------

// Bytes that look like a program: runs of code-like bytes, absolute pointers
// into the image, and zero padding.
Bytes ProgramLike(uint32_t size, uint32_t seed) {
  std::mt19937 random(seed);
  Bytes bytes;
  while (bytes.size() < size) {
    switch (random() % 4) {
      case 0:
        for (int i = 0; i < 24; ++i) bytes.push_back(uint8_t(0x50 + random() % 24));
        break;
      case 1: {
        const uint32_t pointer = 0x00401000u + (random() % 0x4000) * 4;
        for (int i = 0; i < 4; ++i) bytes.push_back(uint8_t(pointer >> (8 * i)));
        break;
      }
      case 2:
        bytes.insert(bytes.end(), 8 + random() % 16, 0);
        break;
      default:
        bytes.push_back(uint8_t(random()));
    }
  }
  bytes.resize(size);
  return bytes;
}

// The next version: pointers moved, a stretch inserted, a few bytes changed.
Bytes NextVersion(const Bytes& old, uint32_t seed) {
  std::mt19937 random(seed);
  Bytes next = old;
  for (size_t i = 0; i + 4 <= next.size(); i += 4)
    if (next[i + 2] == 0x40 && next[i + 3] == 0x00) next[i + 1] = uint8_t(next[i + 1] + 0x10);
  const size_t at = next.size() / 3;
  const Bytes inserted = ProgramLike(96 + random() % 64, seed + 7);
  next.insert(next.begin() + long(at), inserted.begin(), inserted.end());
  for (int i = 0; i < 12; ++i) next[random() % next.size()] ^= uint8_t(1 + random() % 255);
  next.erase(next.end() - 40, next.end() - 10);
  return next;
}

Bytes Text(int version) {
  std::string text;
  for (int line = 0; line < 20; ++line)
    text += "Sample Editor " + std::to_string(version) + ".0: line " + std::to_string(line) + "\r\n";
  return B(text);
}

const FileVersion& Find(const Fixture& fixture, const std::string& name, int version) {
  for (const FileVersion& file : fixture.files)
    if (file.name == name && file.version == version) return file;
  throw std::logic_error("no version " + std::to_string(version) + " of " + name);
}

void SetTexts(PatchFile& patch) {
  const std::vector<std::pair<int, std::string>> texts = {
      {0, "Sample Editor"}, {1, "1.0"}, {2, "3.0"}, {5, "%s %s update"},
      {6, "Update %s from %s to %s?%s"}, {7, "%s %s: finished"}, {8, "%s %s: incomplete"},
      {13, "Updating %s"}, {23, "File not found (%s)"}, {25, "Other version: %s"},
      {26, "Cannot open %s (%u)"}, {27, "Cannot map %s (%u)"}, {28, "Cannot create %s"},
      {29, "Update of %s failed"}, {30, "Rename %s to %s by hand"}, {32, "Damaged: %s"},
      {36, "Already up to date"}, {37, "%s %s: restart Windows"}};
  for (const auto& [key, text] : texts) patch.SetText(key, text);
}

PatchRecord Delta(const Fixture& fixture, const std::string& name, int from, int to, uint32_t flags = 0) {
  const Bytes& old = Find(fixture, name, from).content;
  const Bytes& target = Find(fixture, name, to).content;
  const Bytes body = EncodeDeltaBody(ByteView{old.data(), uint32_t(old.size())},
                                     ByteView{target.data(), uint32_t(target.size())});
  return DeltaRecord(name, old, body, flags);
}

PatchRecord Full(const Fixture& fixture, const std::string& name, uint32_t flags = 0) {
  PatchRecord record = FullRecord(name, Find(fixture, name, 3).content, flags);
  record.lastWriteTime = 0x01D9000012345678ull;
  return record;
}

Base PatchBase(const std::string& name, PatchFile patch) {
  Base base;
  base.name = name;
  base.patch = std::move(patch);
  base.bytes = WritePatch(base.patch);
  return base;
}

Base PayloadBase(const std::string& name, const Base& patch, const Bytes& program) {
  Base base;
  base.name = name;
  base.payload = true;
  base.patch = patch.patch;
  base.bytes = BuildPayload({{"update.dif", patch.bytes}, {"notes.exe", program}}, CompressionOptions{0});
  return base;
}

// --- layout of a written patch or payload -----------------------------------

struct RecordPlace {
  uint32_t offset;    // in the file
  uint32_t length;
  uint32_t nameStart;  // in the file
  uint32_t bodyStart;
  bool delta;
};

struct PatchLayout {
  uint32_t magic = 0;  // offset of "DIF0"
  std::vector<uint32_t> entryStarts;
  std::vector<RecordPlace> records;
};

void AddEntryStart(void* context, uint32_t offset, int, const char*, uint32_t) {
  static_cast<PatchLayout*>(context)->entryStarts.push_back(offset);
}

// The places of a patch as written, found by the installer's own readers.
PatchLayout LayOut(const Bytes& file) {
  PatchLayout layout;
  StringTable table;
  SetDefaultStrings(table);
  const HeaderEntryVisitor visitor{AddEntryStart, &layout};
  const uint8_t* records =
      ParsePatchHeader(file.data(), uint32_t(file.size()), table, nullptr, &visitor);
  if (!records) return layout;
  const uint32_t at = uint32_t(records - file.data()) - sizeof kPatchMagic;
  layout.magic = at;
  const ByteView area{records, uint32_t(file.size() - at - sizeof kPatchMagic)};
  FileRecord record;
  for (uint32_t offset = 0; ReadRecord(area, offset, record); offset = NextRecord(record)) {
    const uint32_t base = at + 4 + offset;
    layout.records.push_back({base, record.recordLength,
                              uint32_t(reinterpret_cast<const uint8_t*>(record.name) - file.data()),
                              uint32_t(record.body.data - file.data()), record.oldSize != 0});
  }
  return layout;
}

struct EntryPlace {
  uint32_t offset, lengthField, dataStart, dataLength;
  std::string name;
};

std::vector<EntryPlace> EntriesOf(const Bytes& payload) {
  std::vector<EntryPlace> entries;
  ByteCursor cursor(ByteView{payload.data(), uint32_t(payload.size())});
  PayloadEntry entry;
  uint32_t start = 0;
  while (ReadPayloadEntry(cursor, entry) == PayloadEntryRead) {
    entries.push_back({start, start + entry.nameLength + 1, start + entry.nameLength + 5, entry.data.size,
                       std::string(entry.name, entry.nameLength)});
    start = cursor.position;
  }
  return entries;
}

// --- mutation helpers ---------------------------------------------------------

class Emitter {
 public:
  Emitter(const Fixture& fixture, size_t base, const std::function<void(const Mutant&)>& visit)
      : base_(fixture.bases[base]), index_(base), visit_(visit) {}

  void Emit(const std::string& mutationClass, const std::string& description, Bytes bytes,
            bool mustBeRefused = false) {
    Mutant mutant;
    mutant.mutationClass = mutationClass;
    mutant.description = base_.name + ": " + description;
    mutant.base = index_;
    mutant.payload = base_.payload;
    mutant.mustBeRefused = mustBeRefused;
    mutant.bytes = std::move(bytes);
    visit_(mutant);
  }
  const Base& base() const { return base_; }

 private:
  const Base& base_;
  size_t index_;
  const std::function<void(const Mutant&)>& visit_;
};

std::string Hex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%X", value);
  return text;
}

void FlipBits(Emitter& out, const Plan& plan, const std::vector<std::pair<uint32_t, uint32_t>>& structural) {
  const Bytes& bytes = out.base().bytes;
  auto flip = [&](uint32_t at, int bit) {
    Bytes mutant = bytes;
    mutant[at] ^= uint8_t(1 << bit);
    out.Emit("bit flip", "bit " + std::to_string(bit) + " of byte " + std::to_string(at), std::move(mutant));
  };
  std::vector<bool> isStructural(bytes.size());
  for (const auto& [start, end] : structural)
    for (uint32_t at = start; at < end && at < bytes.size(); ++at) isStructural[at] = true;
  for (uint32_t at = 0; at < bytes.size(); ++at) {
    if (isStructural[at]) {
      if (plan.stride == 1) {
        for (int bit = 0; bit < 8; ++bit) flip(at, bit);
      } else if (at % plan.stride == 0) {
        flip(at, int(at / plan.stride % 8));
      }
    } else if (at % (4 * plan.stride) == 0) {
      flip(at, int(at * 5 % 8));
    }
  }
  std::mt19937 random(plan.seed + uint32_t(bytes.size()));
  for (uint32_t i = 0; i < plan.randomFlips; ++i) flip(uint32_t(random() % bytes.size()), int(random() % 8));
}

void Truncate(Emitter& out, const std::vector<uint32_t>& cuts) {
  const Bytes& bytes = out.base().bytes;
  std::vector<uint32_t> sorted;
  for (uint32_t cut : cuts)
    for (int64_t at : {int64_t(cut) - 1, int64_t(cut), int64_t(cut) + 1})
      if (at >= 0 && at < int64_t(bytes.size())) sorted.push_back(uint32_t(at));
  std::sort(sorted.begin(), sorted.end());
  sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
  for (uint32_t at : sorted)
    out.Emit("truncation", "cut to " + std::to_string(at) + " bytes", Bytes(bytes.begin(), bytes.begin() + at));
}

void Store(Emitter& out, const std::string& mutationClass, const std::string& what, uint32_t at, uint32_t value) {
  Bytes mutant = out.base().bytes;
  StoreLe32(&mutant[at], value);
  out.Emit(mutationClass, what + " = " + Hex(value), std::move(mutant));
}

// Patch files written from a changed record list.
void EmitRecords(Emitter& out, const std::string& mutationClass, const std::string& what,
                 std::vector<PatchRecord> records) {
  PatchFile patch = out.base().patch;
  patch.records = std::move(records);
  out.Emit(mutationClass, what, WritePatch(patch));
}

// The record at `place` of the written patch with its name replaced by `name`,
// spliced in byte by byte (the writers refuse such names).
Bytes WithName(const Bytes& file, const RecordPlace& place, const std::string& name) {
  uint32_t nameEnd = place.nameStart;
  while (file[nameEnd]) ++nameEnd;
  Bytes mutant(file.begin(), file.begin() + place.nameStart);
  mutant.insert(mutant.end(), name.begin(), name.end());
  mutant.insert(mutant.end(), file.begin() + nameEnd, file.end());
  StoreLe32(&mutant[place.offset], uint32_t(place.length - (nameEnd - place.nameStart) + name.size()));
  return mutant;
}

const std::vector<std::string>& HostileNames() {
  static const std::vector<std::string> names = {
      "..", ".", "..\\evil.dll", "bin\\..\\..\\evil.dll", "bin\\.\\app.exe", "\\evil.dll", "/evil.dll",
      "bin/../../evil.dll", "C:\\evil.dll", "C:evil.dll", "c:\\windows\\evil.dll",
      "\\\\server\\share\\evil.dll", "\\\\?\\C:\\evil.dll", "\\\\.\\COM1", "app.exe:stream",
      "app.exe::$DATA", "app.exe.", "app.exe ", "bin.\\app.exe", "bin \\app.exe", "NUL", "nul.txt",
      "COM1", "com9.log", "LPT1", "CON", "PRN.dll", "AUX", "bin\\\\app.exe", "bin\\", "app\x01.exe",
      std::string(300, 'a'), std::string(259, 'b'), "bin\\" + std::string(255, 'c')};
  return names;
}

// Delta bodies that break the decoder's limits over an old file of `oldSize` bytes.
std::vector<std::pair<std::string, Bytes>> HostileDeltas(uint32_t oldSize) {
  std::vector<std::pair<std::string, Bytes>> deltas;
  auto add = [&](const std::string& what, const DeltaEncoder& encoder) { deltas.push_back({what, encoder.Finish()}); };
  auto block = [&](const std::string& what, uint32_t length, int32_t distance, std::vector<PatchOp> ops = {},
                   std::optional<uint32_t> count = std::nullopt) {
    DeltaEncoder encoder;
    encoder.CopyBlock(length, distance, ops, count);
    add(what, encoder);
  };
  block("block starting at the old file's end", 1, int32_t(oldSize));
  block("block starting before the old file", 4, -1);
  block("block one byte longer than the old file", oldSize + 1, 0);
  block("block running past the old file's end", 20, int32_t(oldSize - 10));
  block("block at the largest distance", 1, 0x7FFFFFFF);
  block("block at the smallest distance", 1, INT32_MIN);
  block("block of the largest length", 0xFFFFFFFFu, 0);
  {
    DeltaEncoder encoder;
    encoder.CopyBlock(10, 0, {});
    encoder.CopyBlock(4, -11, {});
    add("second block before the old file's start", encoder);
  }
  block("skip past the block", 10, 0, {{PatchKind::Skip, 11}, {PatchKind::ByteAdd, 1}});
  block("byte add after the block's end", 4, 0, {{PatchKind::Skip, 4}, {PatchKind::ByteAdd, 1}});
  block("word add over the block's last byte", 4, 0, {{PatchKind::Skip, 3}, {PatchKind::WordAdd, 1}});
  block("more patch operations than streams hold", 16, 0, {{PatchKind::Skip, 1}, {PatchKind::ByteAdd, 1}}, 9);
  block("negative patch count", 16, 0, {}, 0x80000000u);
  {
    DeltaEncoder encoder;
    encoder.LiteralRun(B("literal"));
    DeltaStreamBytes streams = encoder.Streams();
    streams.literals.resize(3);
    deltas.push_back({"literal run longer than the literal stream", JoinDeltaStreams(streams)});
    streams = encoder.Streams();
    streams.lengths.back() |= 0x80;
    deltas.push_back({"length number running past its stream", JoinDeltaStreams(streams)});
    streams = encoder.Streams();
    streams.lengths = {0x81, 0x80, 0x80, 0x80, 0x80, 0x00};
    deltas.push_back({"six-byte length number", JoinDeltaStreams(streams)});
    streams = encoder.Streams();
    streams.literalFlags.clear();
    deltas.push_back({"no literal flags", JoinDeltaStreams(streams)});
  }
  return deltas;
}

void MutatePatch(Emitter& out, const Plan& plan) {
  const Bytes& bytes = out.base().bytes;
  const std::vector<PatchRecord>& records = out.base().patch.records;
  const PatchLayout layout = LayOut(bytes);

  // Bit flips: the fixed part, flag bytes and name of every record and the
  // header of each delta are the structure; texts and bodies are the rest.
  std::vector<std::pair<uint32_t, uint32_t>> structural = {{layout.magic, layout.magic + 4}};
  for (const RecordPlace& place : layout.records) {
    structural.push_back({place.offset, place.bodyStart});
    if (place.delta) structural.push_back({place.bodyStart, place.bodyStart + kDeltaHeaderSize});
  }
  FlipBits(out, plan, structural);

  std::vector<uint32_t> cuts = {0, layout.magic, layout.magic + 2, layout.magic + 4, uint32_t(bytes.size() - 1)};
  cuts.insert(cuts.end(), layout.entryStarts.begin(), layout.entryStarts.end());
  for (const RecordPlace& place : layout.records) {
    cuts.insert(cuts.end(), {place.offset, place.offset + 12, place.nameStart, place.bodyStart,
                             place.offset + place.length});
    if (place.delta) cuts.push_back(place.bodyStart + 16);
  }
  Truncate(out, cuts);

  for (size_t i = 0; i < layout.records.size(); ++i) {
    const RecordPlace& place = layout.records[i];
    const std::string record = "record " + std::to_string(i);
    const uint32_t remaining = uint32_t(bytes.size() - place.offset);
    for (uint32_t value : {0u, 1u, 23u, 24u, place.bodyStart - place.offset, place.length - 1, place.length + 1,
                           remaining + 1, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu})
      Store(out, "length field", record + " recordLength", place.offset, value);
    for (uint32_t value : {0u, 1u, 0xFFFFFFFFu, records[i].oldSize + 1})
      Store(out, "length field", record + " oldSize", place.offset + 4, value);
    if (place.delta) {
      const uint32_t bodySize = place.offset + place.length - place.bodyStart;
      for (uint32_t field = 0; field < 8; ++field)
        for (uint32_t value : {0u, 31u, 32u, bodySize, bodySize + 1, 0xFFFFFFFFu})
          Store(out, "length field", record + " delta offset " + std::to_string(field),
                place.bodyStart + 4 * field, value);
    }

    Store(out, "crc mismatch", record + " newCrc", place.offset + 12, records[i].newCrc ^ 1);
    Store(out, "crc mismatch", record + " newCrc", place.offset + 12, 0);
    Store(out, "crc mismatch", record + " newCrc (its old CRC)", place.offset + 12, records[i].oldCrc);
    Store(out, "crc mismatch", record + " oldCrc", place.offset + 8, records[i].oldCrc ^ 0x80000000u);

    std::vector<PatchRecord> changed = records;
    changed.insert(changed.begin() + long(i), records[i]);
    EmitRecords(out, "records reordered", record + " twice in a row", changed);
    changed = records;
    changed.push_back(records[i]);
    EmitRecords(out, "records reordered", record + " again at the end", changed);
    changed = records;
    changed.erase(changed.begin() + long(i));
    if (!changed.empty()) EmitRecords(out, "records reordered", record + " left out", changed);
    if (i + 1 < records.size()) {
      changed = records;
      std::swap(changed[i], changed[i + 1]);
      EmitRecords(out, "records reordered", record + " swapped with the next", changed);
    }

    for (const std::string& name : HostileNames())
      out.Emit("hostile name", record + " named '" + name + "'", WithName(bytes, place, name), true);

    if (records[i].oldSize != 0) {
      for (const auto& [what, body] : HostileDeltas(records[i].oldSize)) {
        changed = records;
        changed[i].body = body;
        EmitRecords(out, "delta outside", record + ": " + what, changed);
      }
    }
  }
  if (records.size() > 1) {
    std::vector<PatchRecord> reversed(records.rbegin(), records.rend());
    EmitRecords(out, "records reordered", "all records reversed", reversed);
  }

  const std::vector<std::pair<std::string, Bytes>> headers = {
      {"key 50", B("50:x")}, {"key of twelve digits", B("000000000049:x")},
      {"key 4294967303", B("4294967303:x")}, {"key without ':'", B("7x")},
      {"key without text or NUL", B("7:")}};
  for (const auto& [what, entry] : headers) {
    Bytes mutant = entry;
    if (what != "key without text or NUL") mutant.push_back(0);
    mutant.insert(mutant.end(), bytes.begin(), bytes.end());
    out.Emit("header", what + " in front", std::move(mutant));
  }
  for (const char* magic : {"DIF1", "dif0", "DIF\0"}) {
    Bytes mutant = bytes;
    std::memcpy(&mutant[layout.magic], magic, 4);
    out.Emit("header", std::string("magic '") + magic + "'", std::move(mutant));
  }
  Bytes noNul = bytes;
  if (!layout.entryStarts.empty()) {
    std::replace(noNul.begin(), noNul.begin() + layout.magic, uint8_t(0), uint8_t(' '));
    out.Emit("header", "texts without NULs", std::move(noNul));
  }
}

void MutatePayload(Emitter& out, const Plan& plan) {
  const Bytes& bytes = out.base().bytes;
  const std::vector<EntryPlace> entries = EntriesOf(bytes);

  std::vector<std::pair<uint32_t, uint32_t>> structural;
  for (const EntryPlace& entry : entries) structural.push_back({entry.offset, entry.dataStart + 2});
  FlipBits(out, plan, structural);

  std::vector<uint32_t> cuts = {0, uint32_t(bytes.size() - 1)};
  for (const EntryPlace& entry : entries)
    cuts.insert(cuts.end(), {entry.offset, entry.lengthField, entry.lengthField + 2, entry.dataStart,
                             entry.dataStart + entry.dataLength / 2});
  Truncate(out, cuts);

  auto rebuild = [&](const std::string& mutationClass, const std::string& what, const std::vector<EntryPlace>& list,
                     bool mustBeRefused = false) {
    Bytes payload;
    for (const EntryPlace& entry : list)
      AppendRawPayloadEntry(payload, entry.name,
                            Bytes(bytes.begin() + entry.dataStart, bytes.begin() + entry.dataStart + entry.dataLength));
    out.Emit(mutationClass, what, std::move(payload), mustBeRefused);
  };
  for (size_t i = 0; i < entries.size(); ++i) {
    const EntryPlace& entry = entries[i];
    const std::string name = "entry " + std::to_string(i);
    const uint32_t remaining = uint32_t(bytes.size() - entry.dataStart);
    for (uint32_t value : {0u, 1u, remaining - 1, remaining + 1, 0x7FFFFFFFu, 0xFFFFFFFFu})
      if (value != entry.dataLength) Store(out, "length field", name + " length", entry.lengthField, value);

    std::vector<EntryPlace> changed = entries;
    changed.insert(changed.begin() + long(i), entry);
    rebuild("records reordered", name + " twice", changed);
    changed = entries;
    changed.erase(changed.begin() + long(i));
    rebuild("records reordered", name + " left out", changed);
    if (i + 1 < entries.size()) {
      changed = entries;
      std::swap(changed[i], changed[i + 1]);
      rebuild("records reordered", name + " swapped with the next", changed);
    }
    for (const std::string& hostile : HostileNames()) {
      // Only names that reach outside the unpack folder must be refused here;
      // the others are plain, if odd, file names there.
      const bool outside = hostile.find_first_of("\\/:") != std::string::npos || hostile == "." || hostile == "..";
      changed = entries;
      changed[i].name = hostile;
      rebuild("hostile name", name + " named '" + hostile + "'", changed, outside && entry.dataLength != 0);
    }
  }
  Bytes crc = bytes;
  for (const EntryPlace& entry : entries)
    if (entry.dataLength >= 4) crc[entry.dataStart + entry.dataLength - 1] ^= 0x01;
  out.Emit("crc mismatch", "Adler-32 of every stream", std::move(crc));
}

// --- checking -------------------------------------------------------------------

constexpr uint32_t kOutputCap = 1 << 20;


const Bytes* OldVersion(const Fixture& fixture, uint32_t size, uint32_t crc) {
  for (const FileVersion& file : fixture.files)
    if (file.content.size() == size && CrcOf(file.content) == crc) return &file.content;
  return nullptr;
}

const Bytes* KnownContent(const Fixture& fixture, uint32_t crc) {
  for (const FileVersion& file : fixture.files)
    if (CrcOf(file.content) == crc) return &file.content;
  return nullptr;
}

void CheckHeaderSlots(const Bytes& file, const StringTable& table, const StringTable& defaults, Outcome& outcome) {
  const uint8_t* begin = file.data();
  const uint8_t* end = begin + file.size();
  for (int key = 0; key < kStringKeyCount; ++key) {
    if (table.text[key] == defaults.text[key]) continue;
    const uint8_t* text = reinterpret_cast<const uint8_t*>(table.text[key]);
    if (text < begin || text > end || !std::memchr(text, 0, size_t(end - text)))
      outcome.faults.push_back("key " + std::to_string(key) + " points outside the patch or has no NUL");
  }
}

void DecodeRecord(const Fixture& fixture, const FileRecord& record, Outcome& outcome) {
  Bytes content;
  if (record.oldSize == 0) {
    content.assign(record.body.data, record.body.data + record.body.size);
  } else {
    const Bytes* old = OldVersion(fixture, record.oldSize, record.oldCrc);
    if (!old) {
      ++outcome.notApplicable;
      return;
    }
    static uint8_t output[kOutputCap];
    MemoryOutput memory{output, kOutputCap, 0};
    const bool complete = ApplyDelta(ToMemory(memory), record.body, ByteView{old->data(), uint32_t(old->size())});
    content.assign(output, output + memory.length);
    const std::vector<uint8_t> body(record.body.data, record.body.data + record.body.size);
    const reference::DecodedDelta expected = reference::DecodeDelta(body, *old, kOutputCap);
    if (expected.complete != complete || expected.bytes != content)
      outcome.faults.push_back(std::string("delta of ") + record.name + " decodes otherwise than the reference");
  }
  ++outcome.decoded;
  if (CrcOf(content) != record.newCrc) {
    ++outcome.crcRejected;
    return;
  }
  ++outcome.crcAccepted;
  const Bytes* known = KnownContent(fixture, record.newCrc);
  if (!known || *known != content)
    outcome.faults.push_back(std::string("content of ") + record.name + " accepted by its CRC is no version of it");
}

void CheckPatch(const Fixture& fixture, const Bytes& file, Outcome& outcome) {
  // An exactly sized heap copy, so that a read past the end is caught.
  const Bytes copy(file);
  StringTable table, defaults;
  SetDefaultStrings(table);
  defaults = table;
  const uint8_t* records = ParsePatchHeader(copy.data(), uint32_t(copy.size()), table);
  CheckHeaderSlots(copy, table, defaults, outcome);
  if (!records) {
    outcome.refusedBy = "header";
    return;
  }
  const ByteView area{records, uint32_t(copy.data() + copy.size() - records)};
  const bool valid = ValidateRecordsArea(area);

  std::vector<FileRecord> walked;
  FileRecord record;
  uint32_t offset = 0;
  bool deltasReadable = true;
  while (ReadRecord(area, offset, record)) {
    if (NextRecord(record) <= offset) {
      outcome.faults.push_back("record walk does not move on");
      break;
    }
    if (record.oldSize != 0 && !ValidDeltaHeader(record.body)) deltasReadable = false;
    walked.push_back(record);
    offset = NextRecord(record);
  }
  if (valid && (walked.empty() || offset != area.size || !deltasReadable))
    outcome.faults.push_back("validation accepts a records area the record walk cannot read whole");
  if (!valid) {
    outcome.refusedBy = "records";
    return;
  }
  for (const FileRecord& each : walked) DecodeRecord(fixture, each, outcome);
}

// The launcher's unpacking of one entry: zlib inflate until the stream ends,
// anything but progress or the end is a data error.
bool Inflate(ByteView data, Bytes& content) {
  z_stream stream{};
  stream.next_in = const_cast<Bytef*>(data.data);
  stream.avail_in = data.size;
  if (inflateInit(&stream) != Z_OK) return false;
  uint8_t buffer[65536];
  int result = Z_OK;
  for (;;) {
    stream.next_out = buffer;
    stream.avail_out = sizeof buffer;
    result = inflate(&stream, Z_NO_FLUSH);
    content.insert(content.end(), buffer, buffer + (sizeof buffer - stream.avail_out));
    if (result != Z_OK || content.size() > (64u << 20)) break;
  }
  inflateEnd(&stream);
  return result == Z_STREAM_END;
}

void CheckPayloadMutant(const Fixture& fixture, const Bytes& bytes, Outcome& outcome) {
  const Bytes copy(bytes);
  const ByteView payload{copy.data(), uint32_t(copy.size())};
  char commandLine[kDriverCommandLineSize];
  if (!CheckPayload(payload, true, commandLine)) {
    outcome.refusedBy = "container";
    return;
  }
  if (std::strlen(commandLine) >= kDriverCommandLineSize)
    outcome.faults.push_back("command line longer than its buffer");
  std::map<std::string, Bytes> files;
  ByteCursor cursor(payload);
  PayloadEntry entry;
  while (ReadPayloadEntry(cursor, entry) == PayloadEntryRead) {
    if (entry.data.size == 0) continue;
    Bytes content;
    if (!Inflate(entry.data, content)) {
      outcome.refusedBy = "inflate";
      return;
    }
    files[std::string(entry.name, entry.nameLength)] = std::move(content);
  }
  DriverCommandLine parsed;
  if (!ParseDriverCommandLine(commandLine, parsed)) {
    outcome.refusedBy = "command line";
    return;
  }
  const auto patch = files.find(parsed.patchPath);
  if (patch == files.end()) {
    outcome.refusedBy = "patch not unpacked";
    return;
  }
  CheckPatch(fixture, patch->second, outcome);
}

}  // namespace

Fixture BuildFixture() {
  Fixture fixture;
  const Bytes app1 = ProgramLike(6000, 11), core1 = ProgramLike(3000, 12);
  const Bytes app2 = NextVersion(app1, 21), core2 = NextVersion(core1, 22);
  const Bytes app3 = NextVersion(app2, 31), core3 = NextVersion(core2, 32);
  fixture.files = {{"app.exe", 1, app1},        {"app.exe", 2, app2},        {"app.exe", 3, app3},
                   {"lib\\core.dll", 1, core1}, {"lib\\core.dll", 2, core2}, {"lib\\core.dll", 3, core3},
                   {"readme.txt", 1, Text(1)},  {"readme.txt", 2, Text(2)},  {"readme.txt", 3, Text(3)},
                   {"data.bin", 3, ProgramLike(500, 41)}};
  fixture.followUpProgram = ProgramLike(700, 51);

  PatchFile full;
  SetTexts(full);
  for (const char* name : {"app.exe", "lib\\core.dll", "readme.txt", "data.bin"})
    full.records.push_back(Full(fixture, name));

  PatchFile delta;
  SetTexts(delta);
  delta.records = {Delta(fixture, "app.exe", 1, 3),      Delta(fixture, "app.exe", 2, 3),
                   Full(fixture, "app.exe", FlagNoCreate), Delta(fixture, "lib\\core.dll", 1, 3),
                   Delta(fixture, "lib\\core.dll", 2, 3),  Full(fixture, "readme.txt", FlagOptional)};

  PatchFile chain;
  SetTexts(chain);
  chain.records = {Delta(fixture, "app.exe", 1, 2),
                   Delta(fixture, "app.exe", 2, 3),
                   Full(fixture, "app.exe"),
                   Delta(fixture, "lib\\core.dll", 1, 2, PlatformNt),
                   Delta(fixture, "lib\\core.dll", 2, 3),
                   Full(fixture, "data.bin"),
                   Full(fixture, "readme.txt", FlagNoCreate | FlagOptional)};
  chain.records.back().flagBytes = Bytes{0x0C, 0x01};

  PatchFile texts;
  for (int key = 0; key < 50; ++key) texts.SetText(key, "text " + std::to_string(key) + " %s");
  texts.entries.push_back({"07", "\x83\x41\x83\x62\x83\x76\x83\x66\x81\x5B\x83\x67 %s"});
  texts.entries.push_back({"13", ""});
  texts.records = {Full(fixture, "readme.txt", FlagNoCreate)};

  fixture.bases = {PatchBase("full records", full), PatchBase("deltas", delta),
                   PatchBase("chained records", chain), PatchBase("texts", texts)};
  fixture.bases.push_back(PayloadBase("payload of the chained patch", fixture.bases[2], fixture.followUpProgram));
  fixture.bases.push_back(PayloadBase("payload of the full patch", fixture.bases[0], fixture.followUpProgram));
  return fixture;
}

void ForEachMutant(const Fixture& fixture, const Plan& plan, const std::function<void(const Mutant&)>& visit) {
  for (size_t i = 0; i < fixture.bases.size(); ++i) {
    Emitter out(fixture, i, visit);
    if (fixture.bases[i].payload)
      MutatePayload(out, plan);
    else
      MutatePatch(out, plan);
  }
}

Outcome CheckMutant(const Fixture& fixture, const Mutant& mutant) {
  Outcome outcome;
  if (mutant.payload)
    CheckPayloadMutant(fixture, mutant.bytes, outcome);
  else
    CheckPatch(fixture, mutant.bytes, outcome);
  outcome.unsafeNameAccepted = mutant.mustBeRefused && outcome.refusedBy.empty();
  return outcome;
}

void Campaign::Add(const Mutant& mutant, const Outcome& outcome) {
  ClassFigures& figures = classes[mutant.mutationClass];
  ++total;
  ++figures.mutants;
  if (outcome.refusedBy.empty()) {
    ++figures.accepted;
  } else {
    ++figures.refused;
    ++refusedBy[outcome.refusedBy];
  }
  figures.decoded += outcome.decoded;
  figures.crcAccepted += outcome.crcAccepted;
  figures.crcRejected += outcome.crcRejected;
  figures.notApplicable += outcome.notApplicable;
  figures.faults += outcome.faults.size();
  figures.unsafeNamesAccepted += outcome.unsafeNameAccepted ? 1 : 0;
  for (const std::string& fault : outcome.faults)
    if (faults.size() < 20) faults.push_back(mutant.description + ": " + fault);
  if (outcome.unsafeNameAccepted && faults.size() < 20)
    faults.push_back(mutant.description + ": hostile name not refused before the update");
}

uint64_t Campaign::FaultCount() const {
  uint64_t count = 0;
  for (const auto& [name, figures] : classes) count += figures.faults;
  return count;
}

uint64_t Campaign::UnsafeNamesAccepted() const {
  uint64_t count = 0;
  for (const auto& [name, figures] : classes) count += figures.unsafeNamesAccepted;
  return count;
}

void Campaign::Print(std::ostream& out) const {
  out << std::left << std::setw(20) << "class" << std::right << std::setw(9) << "mutants" << std::setw(9)
      << "refused" << std::setw(9) << "accepted" << std::setw(9) << "decoded" << std::setw(9) << "crc-ok"
      << std::setw(9) << "crc-bad" << std::setw(9) << "no-old" << std::setw(9) << "faults" << std::setw(12) << "unsafe-name" << "\n";
  ClassFigures sum;
  auto row = [&out](const std::string& name, const ClassFigures& f) {
    out << std::left << std::setw(20) << name << std::right << std::setw(9) << f.mutants << std::setw(9) << f.refused
        << std::setw(9) << f.accepted << std::setw(9) << f.decoded << std::setw(9) << f.crcAccepted << std::setw(9)
        << f.crcRejected << std::setw(9) << f.notApplicable << std::setw(9) << f.faults << std::setw(12)
        << f.unsafeNamesAccepted << "\n";
  };
  for (const auto& [name, f] : classes) {
    row(name, f);
    sum.mutants += f.mutants, sum.refused += f.refused, sum.accepted += f.accepted, sum.decoded += f.decoded;
    sum.crcAccepted += f.crcAccepted, sum.crcRejected += f.crcRejected, sum.notApplicable += f.notApplicable;
    sum.faults += f.faults, sum.unsafeNamesAccepted += f.unsafeNamesAccepted;
  }
  row("all", sum);
  out << "refused by:";
  for (const auto& [stage, count] : refusedBy) out << " " << stage << " " << count << ";";
  out << "\n";
  for (const std::string& fault : faults) out << "FAULT " << fault << "\n";
}

}  // namespace stress
