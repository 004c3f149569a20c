// The one job as a property: over many seeded runs of a misbehaving device,
// "Setting successful!" only when the unit holds what was written, and a
// serial freed only when the unit does not carry it. A failing
// seed is printed with the device's side of the run and the command that
// replays it; build/bin/pello_campaign runs many more.

#include "tests/support/Campaign.h"

#include <gtest/gtest.h>

using namespace pello;

namespace {

void ExpectInvariant(Link link, uint64_t first, int count)
{
    const CampaignTotals totals = RunCampaign(link, first, count);
    for (const CampaignRun& run : totals.violations) {
        std::string log;
        for (const std::string& line : run.log) log += "  " + line + "\n";
        ADD_FAILURE() << "seed " << run.seed
                      << (run.freed ? ": the serial would go back to free, but the unit carries it\n"
                                    : ": success, but the unit does not hold what was written\n")
                      << log << "replay: build/bin/pello_campaign --link " << LinkName(link) << " --seed " << run.seed
                      << " --runs 1 --verbose";
    }
    // Both outcomes must be common, or the campaign proves nothing.
    EXPECT_GT(totals.successes, totals.runs / 10) << "too few successes";
    EXPECT_LT(totals.successes, totals.found * 9 / 10) << "too few failures";
}

} // namespace

TEST(Campaign, SuccessOnlyWhenTheUnitHoldsWhatWasWrittenOverRs232) { ExpectInvariant(Link::Rs232, 1, 150); }

TEST(Campaign, SuccessOnlyWhenTheUnitHoldsWhatWasWrittenOverUsb) { ExpectInvariant(Link::Usb, 1, 400); }
