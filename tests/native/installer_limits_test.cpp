// The most one installer carries: the patch and the largest file, each mapped
// whole, and those two with the packed payload together, each checked at its
// edge, and the messages that tell the author what to do.
#include "builder/installer_limits.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

constexpr uint64_t kMapping = kInstallerMappingLimit;
constexpr uint64_t kCarry = kInstallerCarryLimit;

std::string Trace(const InstallerLoad& load) {
  return std::to_string(load.patchBytes) + " + " + std::to_string(load.payloadBytes) + " + " +
         std::to_string(load.largestFileBytes);
}

// `load` with one byte more in the part that `part` selects.
InstallerLoad OneMore(InstallerLoad load, uint64_t InstallerLoad::*part) {
  ++(load.*part);
  return load;
}

TEST(InstallerLimit, LoadsOnTheEdgePassAndOneByteMoreIsRefused) {
  // The measured case (an incompressible patch of 512 MiB with files of 64 MiB),
  // each mapping alone at its limit, and the sum with a large follow-up program.
  // A byte more is refused in a part at its own limit, and in any part where
  // the sum is at its limit.
  const uint64_t rest = kCarry - 2 * kMapping;
  const InstallerLoad edge[] = {{kMapping, kMapping, rest},
                                {kMapping, 0, 0},
                                {0, 0, kMapping},
                                {kMapping, rest, kMapping},
                                {1, kCarry - 2, 1},
                                {0, kCarry, 0}};
  for (const InstallerLoad& load : edge) {
    SCOPED_TRACE(Trace(load));
    EXPECT_EQ(InstallerLimitFault(load), "");
    const bool sumAtLimit = load.patchBytes + load.payloadBytes + load.largestFileBytes == kCarry;
    EXPECT_EQ(InstallerLimitFault(OneMore(load, &InstallerLoad::patchBytes)).empty(),
              !sumAtLimit && load.patchBytes < kMapping);
    EXPECT_EQ(InstallerLimitFault(OneMore(load, &InstallerLoad::largestFileBytes)).empty(),
              !sumAtLimit && load.largestFileBytes < kMapping);
    EXPECT_EQ(InstallerLimitFault(OneMore(load, &InstallerLoad::payloadBytes)).empty(),
              !sumAtLimit);
  }
}

TEST(InstallerLimit, SizesFarBeyondDoNotWrapAround) {
  const InstallerLoad beyond[] = {{UINT64_MAX, 0, 0}, {0, UINT64_MAX, 0}, {0, 0, UINT64_MAX},
                                  {kMapping, UINT64_MAX - kMapping + 1, kMapping},
                                  {1, UINT64_MAX, 1}};
  for (const InstallerLoad& load : beyond) {
    SCOPED_TRACE(Trace(load));
    EXPECT_NE(InstallerLimitFault(load), "");
  }
}

void ExpectParts(const std::string& message, std::initializer_list<const char*> parts) {
  for (const char* part : parts)
    EXPECT_NE(message.find(part), std::string::npos) << part << " missing from: " << message;
}

TEST(InstallerLimit, MessagesGiveTheSizesTheLimitAndWhatToDo) {
  const std::string patch = InstallerLimitFault({kMapping + 1, 1000, 0});
  ExpectParts(patch, {"the patch of 536870913 bytes (512.0 MiB) is too large",
                      "maps it whole: at most 536870912 bytes (512.0 MiB)", "split the update",
                      "one installer per old version", "full = false"});
  const std::string file = InstallerLimitFault({1000, 1000, uint64_t(600) << 20});
  ExpectParts(file, {"the largest file, of 629145600 bytes (600.0 MiB), is too large",
                     "ship it another way"});
  const std::string all = InstallerLimitFault({uint64_t(500) << 20, (uint64_t(500) << 20) + 104858,
                                               uint64_t(100) << 20});
  ExpectParts(all, {"the patch of 524288000 bytes (500.0 MiB)",
                    "packed payload of 524392858 bytes (500.1 MiB)",
                    "largest file, of 104857600 bytes (100.0 MiB)",
                    "at most 1140850688 bytes (1088.0 MiB) together", "split the update",
                    "follow-up programs"});
}

}  // namespace
