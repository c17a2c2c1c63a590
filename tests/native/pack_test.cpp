// The payload container as the packer writes it, the checks on entry names and
// switch texts, and the payload reader used by inspection.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "builder/pack.h"

namespace {

ByteView View(const Bytes& bytes) { return ByteView{bytes.data(), uint32_t(bytes.size())}; }

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes Compressible(size_t size) {
  Bytes bytes;
  while (bytes.size() < size) {
    const std::string line = "line " + std::to_string(bytes.size() % 977) + " of a file\r\n";
    bytes.insert(bytes.end(), line.begin(), line.end());
  }
  bytes.resize(size);
  return bytes;
}

std::string FailureOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const PackError& error) {
    return error.what();
  }
  return "";
}

TEST(PackPayload, DummyEntryThenFilesEachInflatingToItsContent) {
  const std::vector<PackFile> files = {{"update.dif", Compressible(50000)},
                                       {"readme.exe", Text("MZ tiny program")}};
  const Bytes payload = BuildPayload(files, CompressionOptions{});
  const std::vector<ContainerEntry> entries = ParsePayload(View(payload));
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].name, "arg00");
  EXPECT_EQ(entries[0].data.size, 0u);
  EXPECT_EQ(entries[0].offset, 0u);
  for (size_t i = 0; i < files.size(); ++i) {
    EXPECT_EQ(entries[i + 1].name, files[i].name);
    EXPECT_EQ(InflateEntry(entries[i + 1].data), files[i].content);
  }
  // The entries follow each other without gaps up to the payload's end.
  EXPECT_EQ(entries[2].data.data + entries[2].data.size, payload.data() + payload.size());
}

TEST(PackPayload, ChoosesTheSmallerOfZlibAndZopfli) {
  const Bytes content = Compressible(20000);
  const Bytes zlibOnly = CompressEntry(content, CompressionOptions{0});
  EXPECT_EQ(zlibOnly, CompressZlib(content, 9));
  const Bytes best = CompressEntry(content, CompressionOptions{5});
  EXPECT_LE(best.size(), zlibOnly.size());
  EXPECT_EQ(InflateEntry(View(best)), content);
  // A zlib header with a 32 KiB window, as the installer's inflate expects.
  EXPECT_EQ(best[0], 0x78);
  EXPECT_EQ((best[0] * 256 + best[1]) % 31, 0);
}

// Content that repeats across chunk boundaries, so that chunks refer back into
// the chunk before them, with random stretches that zopfli and zlib code apart.
Bytes Mixed(size_t size) {
  Bytes bytes = Compressible(size);
  uint32_t state = 12345;
  for (size_t at = 0; at < size; at += 7919) {
    for (size_t k = at; k < std::min(size, at + 300); ++k) {
      state = state * 1103515245u + 12345u;
      bytes[k] = uint8_t(state >> 24);
    }
  }
  return bytes;
}

TEST(PackPayload, ChunkedStreamInflatesWholeAndIsTheSameOnAnyNumberOfThreads) {
  struct Case {
    size_t size;
    int zopfliIterations;
  };
  const Case cases[] = {
      {1, 0},
      {kDeflateChunkSize - 1, 0},
      {kDeflateChunkSize, 0},
      {kDeflateChunkSize + 1, 0},
      {2 * kDeflateChunkSize + 40000, 0},
      {kDeflateChunkSize + 3000, 1},  // a zopfli chunk joined to the next one
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("size " + std::to_string(c.size) + ", zopfli " + std::to_string(c.zopfliIterations));
    const Bytes content = Mixed(c.size);
    const Bytes one = CompressEntry(content, CompressionOptions{c.zopfliIterations, 1});
    EXPECT_EQ(InflateEntry(View(one)), content);
    if (c.zopfliIterations > 0) {  // zopfli chunks were chosen, and joined
      EXPECT_LT(one.size(), CompressEntry(content, CompressionOptions{0, 1}).size());
    }
    // The join does not depend on the threads: the zlib cases show it.
    if (c.zopfliIterations == 0) {
      for (unsigned threads : {2u, 3u}) EXPECT_EQ(CompressEntry(content, CompressionOptions{0, threads}), one);
    }
  }
}

TEST(PackPayload, ZopfliOnlyUpToItsLargestEntry) {
  const Bytes content = Mixed(kZopfliLargestEntry + 1);
  EXPECT_EQ(CompressEntry(content, CompressionOptions{1}), CompressEntry(content, CompressionOptions{0}));
}

TEST(PackPayload, RefusesAnEmptyFile) {
  EXPECT_NE(FailureOf([] { BuildPayload({{"update.dif", {}}}, CompressionOptions{0}); }).find("empty"),
            std::string::npos);
}

TEST(PackPayload, RefusesNamesTheInstallerCannotUse) {
  struct Case {
    std::vector<std::string> names;
    const char* error;
  };
  const std::string longName(280, 'a');
  const std::vector<Case> cases = {
      {{"arg00", ""}, "empty name"},
      {{"arg00", "my update.dif"}, "plain ASCII"},
      {{"arg00", "a\"b.dif"}, "plain ASCII"},
      {{"arg00", "sub/a.dif"}, "plain ASCII"},
      {{"arg00", "c:a.dif"}, "plain ASCII"},
      {{"arg00", "sub\\a.dif"}, "plain ASCII"},
      {{"arg00", "\xe6\x9b\xb4.dif"}, "plain ASCII"},
      {{"arg00", ".."}, "not a file name"},
      {{"arg00", "Setup.exe", "SETUP.EXE"}, "occurs twice"},
      {{"arg00", "ARG00"}, "occurs twice"},
      {{"arg00", longName, std::string(10, 'b')}, "too long"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.names.back());
    EXPECT_NE(FailureOf([&] { CheckEntryNames(c.names); }).find(c.error), std::string::npos);
  }
  EXPECT_EQ(FailureOf([] { CheckEntryNames({"arg00", "update.dif", "readme-1.2_x.exe"}); }), "");
}

TEST(PackPayload, CommandLineLimitIsExact) {
  // "arg00" + " /s" + " " + name must fit in 299 characters.
  const size_t fits = kCommandLineLimit - 5 - 3 - 1;
  EXPECT_EQ(FailureOf([&] { CheckEntryNames({"arg00", std::string(fits, 'x')}); }), "");
  EXPECT_NE(FailureOf([&] { CheckEntryNames({"arg00", std::string(fits + 1, 'x')}); }), "");
}

TEST(PackSwitches, TextMustBeginWithASpaceAndFit) {
  EXPECT_EQ(SwitchText(false, false), "");
  EXPECT_EQ(SwitchText(true, false), " /s");
  EXPECT_EQ(SwitchText(true, true), " /s /k");
  EXPECT_EQ(SwitchText(false, true), " /k");
  EXPECT_EQ(FailureOf([] { CheckSwitchText(""); }), "");
  EXPECT_EQ(FailureOf([] { CheckSwitchText(" /s"); }), "");
  EXPECT_EQ(FailureOf([] { CheckSwitchText(" " + std::string(62, 'x')); }), "");
  EXPECT_NE(FailureOf([] { CheckSwitchText(" " + std::string(63, 'x')); }).find("too long"),
            std::string::npos);
  EXPECT_NE(FailureOf([] { CheckSwitchText("/s"); }).find("begin with a space"), std::string::npos);
}

TEST(PackPayloadReader, NamesTheFaultyEntryAndItsOffset) {
  Bytes valid;
  AppendRawPayloadEntry(valid, "arg00", {});
  AppendRawPayloadEntry(valid, "a.dif", CompressZlib(Text("patch")));
  const uint32_t second = 10;  // "arg00\0" and a 4-byte length

  struct Case {
    const char* name;
    Bytes payload;
    const char* error;
  };
  Bytes pastEnd = valid;
  StoreLe32(&pastEnd[second + 6], LoadLe32(&pastEnd[second + 6]) + 1);
  Bytes unterminated = valid;
  unterminated.insert(unterminated.end(), {'x', 'y'});
  Bytes shortLength = valid;
  shortLength.insert(shortLength.end(), {'x', 0, 1, 0});
  const std::vector<Case> cases = {
      {"length one byte past the end", pastEnd, "'a.dif' at 0xA: length"},
      {"name without NUL", unterminated, "at 0x" },
      {"length word cut short", shortLength, "'x'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_NE(FailureOf([&] { ParsePayload(View(c.payload)); }).find(c.error), std::string::npos)
        << FailureOf([&] { ParsePayload(View(c.payload)); });
  }
  EXPECT_EQ(ParsePayload(View(valid)).size(), 2u);
  EXPECT_TRUE(ParsePayload(ByteView{nullptr, 0}).empty());
}

TEST(PackPayloadReader, InflateRefusesDamagedStreams) {
  const Bytes good = CompressZlib(Compressible(5000));
  Bytes flipped = good;
  flipped[good.size() / 2] ^= 0x55;
  Bytes truncated(good.begin(), good.end() - 6);
  Bytes trailing = good;
  trailing.push_back(0);
  Bytes badChecksum = good;
  badChecksum.back() ^= 1;
  for (const Bytes* damaged : {&flipped, &truncated, &trailing, &badChecksum}) {
    const std::string failure = FailureOf([&] { InflateEntry(View(*damaged)); });
    EXPECT_NE(failure, "");
    EXPECT_EQ(FailureOf([&] { InflateEntryRaw(View(*damaged)); }), failure);
  }
  EXPECT_NE(FailureOf([&] { InflateEntry(View(trailing)); }).find("follow the end"), std::string::npos);
  EXPECT_NE(FailureOf([&] { InflateEntry(View(truncated)); }).find("ends early"), std::string::npos);
}

// Both readers start from a guess of the inflated size and grow it: streams
// that inflate to less than the guess, about as much, and many times more.
TEST(PackPayloadReader, InflatesWholeWhateverTheRatio) {
  struct Case {
    const char* name;
    Bytes content;
  };
  const Bytes zeros(3 << 20, 0);
  const Case cases[] = {
      {"one byte", Text("x")},
      {"random stretches", Mixed(300000)},
      {"text", Compressible(700000)},
      {"zeros, a thousand times smaller", zeros},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes stream = CompressZlib(c.content);
    EXPECT_EQ(InflateEntry(View(stream)), c.content);
    RawBytes raw = InflateEntryRaw(View(stream));
    ASSERT_EQ(raw.size(), c.content.size());
    EXPECT_TRUE(std::equal(c.content.begin(), c.content.end(), raw.data()));
  }
}

}  // namespace
