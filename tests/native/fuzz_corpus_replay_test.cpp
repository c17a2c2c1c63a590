// Replays every file of the fuzz corpora (seeds and kept findings) through the
// fuzz targets' entry points, so the normal test run guards old findings.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "fuzz/fuzz_entries.h"

namespace {

namespace fs = std::filesystem;

const fs::path kCorpusRoot = fs::path(SP_SOURCE_DIR) / "fuzz" / "corpus";

using Entry = int (*)(const uint8_t*, size_t);

void Replay(const std::string& target, Entry entry) {
  const fs::path folder = kCorpusRoot / target;
  ASSERT_TRUE(fs::is_directory(folder)) << folder;
  int files = 0;
  for (const auto& item : fs::directory_iterator(folder)) {
    std::ifstream in(item.path(), std::ios::binary);
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    SCOPED_TRACE(item.path().string());
    entry(bytes.data(), bytes.size());
    ++files;
  }
  EXPECT_GT(files, 0) << "empty corpus " << folder;
}

}  // namespace

TEST(FuzzCorpusReplay, DeltaDecoder) { Replay("delta", FuzzDeltaDecoder); }
TEST(FuzzCorpusReplay, RecordsArea) { Replay("records", FuzzRecordsArea); }
TEST(FuzzCorpusReplay, UpdatePlan) { Replay("plan", FuzzUpdatePlan); }
TEST(FuzzCorpusReplay, DeltaRoundTrip) { Replay("delta_roundtrip", FuzzDeltaRoundTrip); }
TEST(FuzzCorpusReplay, PatchHeader) { Replay("header", FuzzPatchHeader); }
TEST(FuzzCorpusReplay, PayloadContainer) { Replay("payload", FuzzPayloadContainer); }
TEST(FuzzCorpusReplay, FormatText) { Replay("format", FuzzFormatText); }
TEST(FuzzCorpusReplay, ProjectTexts) { Replay("project_texts", FuzzProjectTexts); }
TEST(FuzzCorpusReplay, DeltaAgainstReference) { Replay("delta_diff", FuzzDeltaDifferential); }
TEST(FuzzCorpusReplay, InstallerImage) { Replay("installer_image", FuzzInstallerImage); }
