// A slice of the mutation campaign over real patches and payloads (make stress
// runs all of it): every mutant is refused by the installer's validation, or
// its records decode to content that the CRC check judges correctly, with the
// delta decoder agreeing with the reference decoder byte for byte.
#include <gtest/gtest.h>

#include <sstream>

#include "tests/stress/mutants.h"

namespace {

TEST(MutationCampaign, UnchangedPatchesAndPayloadsDecodeToTheNewVersion) {
  const stress::Fixture fixture = stress::BuildFixture();
  for (size_t i = 0; i < fixture.bases.size(); ++i) {
    SCOPED_TRACE(fixture.bases[i].name);
    stress::Mutant unchanged;
    unchanged.base = i;
    unchanged.payload = fixture.bases[i].payload;
    unchanged.bytes = fixture.bases[i].bytes;
    const stress::Outcome outcome = stress::CheckMutant(fixture, unchanged);
    EXPECT_EQ(outcome.refusedBy, "");
    EXPECT_TRUE(outcome.faults.empty());
    EXPECT_EQ(outcome.crcRejected, 0u);
    EXPECT_EQ(outcome.notApplicable, 0u);
    EXPECT_EQ(outcome.crcAccepted, fixture.bases[i].patch.records.size());
  }
}

TEST(MutationCampaign, EveryMutantIsRefusedOrJudgedByItsCrc) {
  const stress::Fixture fixture = stress::BuildFixture();
  stress::Plan plan;
  plan.stride = 32;
  plan.randomFlips = 8;
  stress::Campaign campaign;
  stress::ForEachMutant(fixture, plan, [&](const stress::Mutant& mutant) {
    campaign.Add(mutant, stress::CheckMutant(fixture, mutant));
  });
  std::ostringstream figures;
  campaign.Print(figures);
  EXPECT_EQ(campaign.FaultCount(), 0u) << figures.str();
  EXPECT_EQ(campaign.UnsafeNamesAccepted(), 0u) << figures.str();
  // Each kind of damage was made, and reached the stage it is meant to reach.
  for (const char* name : {"bit flip", "truncation", "length field", "crc mismatch", "records reordered",
                           "delta outside", "hostile name", "header"})
    EXPECT_GT(campaign.classes[name].mutants, 0u) << name;
  EXPECT_GT(campaign.classes["crc mismatch"].crcRejected, 0u);
  EXPECT_GT(campaign.classes["delta outside"].crcRejected, 0u);
  EXPECT_GT(campaign.refusedBy["header"], 0u);
  EXPECT_GT(campaign.refusedBy["records"], 0u);
  EXPECT_GT(campaign.refusedBy["container"], 0u);
  EXPECT_GT(campaign.refusedBy["inflate"], 0u);
  std::cout << figures.str();
}

}  // namespace
