#pragma once
// The randomized campaign of the one job: a virtual device draws a fate for
// every frame (see CVirtualDevice), the workflow searches and programs it,
// and the device's own state is the ground truth. The invariants: success
// is said only when the unit holds exactly the field and code written and
// took "QBOOT" after them; a serial goes back to free only when the unit does
// not carry it (else the next unit gets it too).

#include "core/Workflow.h"

#include <cstdint>
#include <string>
#include <vector>

namespace pello {

struct CampaignRun {
    uint64_t seed = 0;
    bool found = false;   // a search found the unit (three tries, as an operator would)
    bool success = false; // the tool said "Setting successful!"
    bool holds = false;   // the unit holds what was written
    bool freed = false;   // a batch serial would go back to free
    bool carries = false; // the unit's field is the one written
    std::string failure;  // why the sequence failed, in the tool's words
    std::vector<std::string> log; // the device's side of the run
    bool Violates() const { return (success && !holds) || (freed && carries); }
};

// One run of the campaign over `link`, drawn from `seed`.
CampaignRun RunCampaignSeed(Link link, uint64_t seed);

struct CampaignTotals {
    int runs = 0, found = 0, successes = 0;
    std::vector<CampaignRun> violations;
};

// Runs `count` seeds from `first`.
CampaignTotals RunCampaign(Link link, uint64_t first, int count);

} // namespace pello
