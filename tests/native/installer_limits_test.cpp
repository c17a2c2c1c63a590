// The most one installer carries: the unpacked patch, and the patch with the
// packed payload together, each checked at its edge from every side, and the
// messages that tell the author what to do.
#include "builder/installer_limits.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

constexpr uint64_t kPatch = kInstallerPatchLimit;
constexpr uint64_t kCarry = kInstallerCarryLimit;

struct Sizes {
  uint64_t patch;
  uint64_t payload;
};

std::string Trace(const Sizes& sizes) {
  return std::to_string(sizes.patch) + " + " + std::to_string(sizes.payload);
}

TEST(InstallerLimit, SizesOnTheEdgePassAndOneByteMoreIsRefused) {
  // Where the patch limit binds (a payload that packs well), where both bind
  // (an incompressible patch), and where the sum binds (large follow-up programs).
  const Sizes edge[] = {{kPatch, 0}, {kPatch, kCarry - kPatch}, {kPatch / 2, kCarry - kPatch / 2},
                        {1, kCarry - 1}, {0, kCarry}};
  for (const Sizes& sizes : edge) {
    SCOPED_TRACE(Trace(sizes));
    EXPECT_EQ(InstallerLimitFault(sizes.patch, sizes.payload), "");
    EXPECT_NE(InstallerLimitFault(sizes.patch + 1, sizes.payload), "");
  }
  for (const Sizes& sizes : edge) {
    if (sizes.patch + sizes.payload < kCarry) continue;  // only the sum's edge
    SCOPED_TRACE(Trace(sizes));
    EXPECT_NE(InstallerLimitFault(sizes.patch, sizes.payload + 1), "");
  }
}

TEST(InstallerLimit, SizesFarBeyondDoNotWrapAround) {
  const Sizes beyond[] = {{UINT64_MAX, 0}, {0, UINT64_MAX}, {UINT64_MAX, UINT64_MAX},
                          {kPatch, UINT64_MAX - kPatch + 1}, {UINT64_MAX - kCarry + 1, kCarry}};
  for (const Sizes& sizes : beyond) {
    SCOPED_TRACE(Trace(sizes));
    EXPECT_NE(InstallerLimitFault(sizes.patch, sizes.payload), "");
  }
}

void ExpectParts(const std::string& message, std::initializer_list<const char*> parts) {
  for (const char* part : parts)
    EXPECT_NE(message.find(part), std::string::npos) << part << " missing from: " << message;
}

TEST(InstallerLimit, MessagesGiveTheSizesTheLimitAndWhatToDo) {
  const char* const whatToDo[] = {"split the update", "one installer per old version",
                                  "full = false"};
  const std::string patch = InstallerLimitFault(kPatch + 1, 1000);
  ExpectParts(patch, {"the patch of 536870913 bytes (512.0 MiB) is too large",
                      "maps it whole: at most 536870912 bytes (512.0 MiB)"});
  const std::string both = InstallerLimitFault(uint64_t(500) << 20, (uint64_t(600) << 20) + 104858);
  ExpectParts(both, {"the patch of 524288000 bytes (500.0 MiB)",
                     "packed payload of 629250458 bytes (600.1 MiB)",
                     "at most 1073741824 bytes (1024.0 MiB) together", "follow-up programs"});
  for (const std::string& message : {patch, both})
    for (const char* part : whatToDo) ExpectParts(message, {part});
}

TEST(PatchLimit, TheUnpackedPatchAloneAgainstItsLimit) {
  EXPECT_EQ(PatchLimitFault(0), "");
  EXPECT_EQ(PatchLimitFault(kPatch), "");
  EXPECT_EQ(PatchLimitFault(kPatch + 1), InstallerLimitFault(kPatch + 1, 0));
  EXPECT_NE(PatchLimitFault(UINT64_MAX), "");
}

}  // namespace
