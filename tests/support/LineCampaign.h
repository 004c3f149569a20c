#pragma once
// The record's campaign: a line of stations (real pellomatic-cli processes)
// draws one batch while simulated units arrive with random gaps and
// misbehave at random; stations are killed and restarted, the record is
// taken away for a while, a supervisor with a clock 20 minutes fast looks
// at the batch and resolves what is in doubt. The simulators' ledgers of
// every unit they presented are the ground truth the record is checked
// against at the end.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace pello {

struct LineCampaignSetup {
    std::string db;  // --db: an SQLite file or a PostgreSQL connection string
    std::string dir; // scratch folder for ports, ledgers and states
    // Takes the record away for a while and gives it back (a locked file, a
    // stopped server).
    std::function<void()> interruptRecord;
    int stations = 3;
    int unitsPerStation = 6;
};

// One run, drawn from `seed`: what is wrong with the record afterwards,
// one line each; empty when it holds.
std::vector<std::string> RunLineCampaign(const LineCampaignSetup& setup, uint64_t seed);

} // namespace pello
