// Writes the seed corpora of the fuzz targets with the project's own writers:
//   make_fuzz_corpus DIR   writes DIR/<target>/seed-N files
#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <sys/stat.h>

#include "builder/format/delta_writer.h"
#include "builder/format/patch_writer.h"
#include "builder/pack.h"
#include "builder/pack_stub.h"
#include "patch/records.h"
#include "tests/support/simple_delta.h"

namespace {

Bytes B(const std::string& text) { return Bytes(text.begin(), text.end()); }

// The bytes of a literal, NULs inside included.
template <size_t N>
Bytes Raw(const char (&text)[N]) {
  return Bytes(text, text + N - 1);
}

Bytes RandomBytes(std::mt19937& random, size_t length) {
  Bytes bytes(length);
  for (uint8_t& b : bytes) b = uint8_t(random() % 4 ? random() : 0);
  return bytes;
}

// A delta over a random old file with random literals and patched copies.
Bytes RandomDelta(std::mt19937& random, const Bytes& old) {
  DeltaWriter writer(old);
  for (int i = 0, n = 1 + int(random() % 6); i < n; ++i) {
    if (random() % 3 == 0) {
      writer.Literal(RandomBytes(random, 1 + random() % 20));
      continue;
    }
    const uint32_t position = uint32_t(random() % old.size());
    Bytes block(old.begin() + position,
                old.begin() + position + 1 + random() % (old.size() - position));
    for (uint8_t& b : block)
      if (random() % 6 == 0) b = uint8_t(b + 1);
    writer.Copy(position, block);
  }
  return writer.Finish();
}

Bytes DeltaInput(const Bytes& old, const Bytes& delta) {
  Bytes input = {uint8_t(old.size()), uint8_t(old.size() >> 8)};
  input.insert(input.end(), old.begin(), old.end());
  input.insert(input.end(), delta.begin(), delta.end());
  return input;
}

Bytes RecordsArea(const std::vector<PatchRecord>& records) {
  PatchFile patch;
  patch.records = records;
  const Bytes file = WritePatch(patch);
  return Bytes(file.begin() + 4, file.end());
}

void Write(const std::string& folder, int index, const Bytes& bytes) {
  mkdir(folder.c_str(), 0755);
  std::ofstream(folder + "/seed-" + std::to_string(index), std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_fuzz_corpus CORPUS_DIR\n");
    return 2;
  }
  const std::string root = argv[1];
  mkdir(root.c_str(), 0755);
  std::mt19937 random(2024);

  std::vector<Bytes> deltaInputs;
  {
    const Bytes old = B("ABCDEFGH");
    DeltaWriter writer(old);
    writer.Literal(B("xy"));
    writer.Copy(0, B("ABCE"));
    writer.Copy(6, B("HI"));
    deltaInputs.push_back(DeltaInput(old, writer.Finish()));
  }
  {
    const Bytes old = RandomBytes(random, 64);
    DeltaEncoder encoder;
    encoder.CopyBlock(10, 20, {{PatchKind::Skip, 1}, {PatchKind::ByteAdd, 5}, {PatchKind::Skip, 3},
                               {PatchKind::WordAdd, 0x1234}, {PatchKind::WordAdd, 1}});
    encoder.CopyBlock(10, -10, {}, 0x80000000u);
    encoder.LiteralRun(B("tail"));
    deltaInputs.push_back(DeltaInput(old, encoder.Finish()));
  }
  for (int i = 0; i < 12; ++i) {
    const Bytes old = RandomBytes(random, 1 + random() % 300);
    deltaInputs.push_back(DeltaInput(old, RandomDelta(random, old)));
  }
  {
    const Bytes old = RandomBytes(random, 400);
    Bytes edited = old;
    for (int i = 0; i < 10; ++i) edited[random() % edited.size()] ^= 0x40;
    edited.insert(edited.begin() + 50, old.begin() + 300, old.begin() + 350);
    deltaInputs.push_back(DeltaInput(old, SimpleDelta(old, edited)));
  }
  for (size_t i = 0; i < deltaInputs.size(); ++i) {
    Write(root + "/delta", int(i), deltaInputs[i]);
    Write(root + "/delta_diff", int(i), deltaInputs[i]);
  }

  std::vector<Bytes> areas;
  areas.push_back(RecordsArea({FullRecord("app.exe", B("new content"), FlagNoCreate)}));
  for (int i = 0; i < 6; ++i) {
    std::vector<PatchRecord> records;
    for (int r = 0, n = 1 + int(random() % 4); r < n; ++r) {
      const Bytes old = RandomBytes(random, 1 + random() % 100);
      PatchRecord record = random() % 2 ? FullRecord("file" + std::to_string(r), RandomBytes(random, random() % 50))
                                        : DeltaRecord("File" + std::to_string(r), old, RandomDelta(random, old));
      record.flags = uint32_t(random() % 16);
      record.lastWriteTime = (uint64_t(random()) << 32) | random();
      if (random() % 3 == 0) record.flagBytes = Bytes{0x04, 0x01, 0x1F};
      records.push_back(record);
    }
    areas.push_back(RecordsArea(records));
  }
  {
    // Names with folders, and names the installer refuses.
    std::vector<PatchRecord> records;
    for (const char* name : {"bin\\plugin.dll", "..\\x.dll", "nul.txt", "C:\\x.dll", "a/./b"}) {
      records.push_back(FullRecord(name, B("x")));
      records.back().allowUnsafeName = true;
    }
    areas.push_back(RecordsArea(records));
  }
  for (size_t i = 0; i < areas.size(); ++i) Write(root + "/records", int(i), areas[i]);
  {
    // A chain over three versions with a full fallback, names in mixed case,
    // and a record for each family.
    const Bytes v1 = B("version one of the library, with text that stays"),
                v2 = B("version two of the library, with text that stays, and more");
    std::vector<PatchRecord> records = {
        DeltaRecord("Lib.dll", v1, SimpleDelta(v1, v2)),
        FullRecord("LIB.DLL", v2),
        FullRecord("nine.dll", B("9x"), Platform9x),
        FullRecord("nine.dll", B("any")),
        FullRecord("nt.dll", B("nt"), PlatformNt | FlagOptional),
    };
    areas.push_back(RecordsArea(records));
  }
  for (size_t i = 0; i < areas.size(); ++i) Write(root + "/plan", int(i), areas[i]);

  // Round trip: an old file, then 5-byte operations and the bytes they change.
  for (int i = 0; i < 6; ++i) {
    const uint16_t oldSize = uint16_t(1 + random() % 500);
    Bytes input = {uint8_t(oldSize), uint8_t(oldSize >> 8)};
    const Bytes old = RandomBytes(random, oldSize);
    input.insert(input.end(), old.begin(), old.end());
    const Bytes ops = RandomBytes(random, 5 + random() % 120);
    input.insert(input.end(), ops.begin(), ops.end());
    Write(root + "/delta_roundtrip", i, input);
  }

  // Patch files: header entries, the magic and records.
  {
    PatchFile patch;
    patch.SetText(0, "Product");
    patch.entries.push_back({"07", "x"});
    patch.SetText(13, "%s\x82\xf0\x8d\x58\x90\x56");
    patch.SetText(32, "");
    patch.records.push_back(FullRecord("app.exe", B("content"), FlagNoCreate));
    Write(root + "/header", 0, WritePatch(patch));
    patch.entries.push_back({"50", "out of range"});
    Write(root + "/header", 1, WritePatch(patch));
    Write(root + "/header", 2, B("DIF0x"));
    Write(root + "/header", 3, B("5:%s\0DIF0"));
  }

  // Payload containers, the first byte choosing silent mode.
  {
    Bytes payload = {1};
    AppendPayloadEntry(payload, "arg00", {});
    AppendPayloadEntry(payload, "product.dif", B("DIF0 patch bytes"));
    AppendPayloadEntry(payload, "setup.exe", RandomBytes(random, 300));
    Write(root + "/payload", 0, payload);
    payload[0] = 0;
    AppendRawPayloadEntry(payload, "..", B("x"));
    Write(root + "/payload", 1, payload);
  }

  // Patch texts with arguments: a buffer-size byte, the format and its NUL,
  // then kind bytes (odd: text, even: number) with their values.
  {
    Write(root + "/format", 0, Raw("\xff%s %s update\0\x01Product\0\x01" "2.0"));
    Write(root + "/format", 1, Raw("\x03%-8.3s|%#010x|%hd|%c|%%|%q|%\0\x01text\0\x00\xff\xff\xff\xff"));
    Write(root + "/format", 2, Raw("\x33%s %d %u %X %s %s"));
  }

  // Project-file texts: a key byte, a code page byte (0: 1252, 1: 932, 2: 1251,
  // 3: 936; bit 2 picks the Japanese defaults), then the UTF-8 text.
  {
    const Bytes seeds[] = {
        Raw("\x05\x00%s %s Update"),
        Raw("\x1a\x05%s (%lu) \xE3\x83\x86\xE3\x82\xB9\xE3\x83\x88"),
        Raw("\x0d\x00%d"),
        Raw("\x0c\x00" "100%% done"),
        Raw("\x07\x00" "caf\xC3\xA9 \xE2\x86\x92 %s %s"),
        Raw("\x29\x05" "F:\xE3\x82\xA2"),
        Raw("\x0d\x02\xD0\x9F\xD1\x80 %s\r\nnext"),
        Raw("\x0d\x03%-08.2"),
        Raw("\x1b\x00%s %S %5%"),
        Raw("\x00\x00" "a\0b"),
    };
    for (size_t i = 0; i < sizeof seeds / sizeof seeds[0]; ++i) Write(root + "/project_texts", int(i), seeds[i]);
  }

  // Installer programs: a mode byte (0: the whole program, 1: its resource
  // section alone), then the bytes. Needs the installer program in the tool.
  if (EmbeddedStub().size != 0) {
    const ByteView stubView = EmbeddedStub();
    PatchFile patch;
    patch.SetText(0, "Product");
    patch.records.push_back(FullRecord("app.exe", B("new content")));
    const Bytes payload = BuildPayload({{"update.dif", WritePatch(patch)}}, CompressionOptions{0});
    std::vector<std::string> warnings;
    const Bytes installer =
        PackInstaller(Bytes(stubView.data, stubView.data + stubView.size), payload, " /s", warnings);
    Bytes whole = {0};
    whole.insert(whole.end(), installer.begin(), installer.end());
    Write(root + "/installer_image", 0, whole);
    const PeImage image = ParsePeImage(installer);
    Bytes section = {1};
    const Bytes resources = BuildResourceSection(image.resources, 0x6000);
    section.insert(section.end(), resources.begin(), resources.end());
    Write(root + "/installer_image", 1, section);
  }
  return 0;
}
