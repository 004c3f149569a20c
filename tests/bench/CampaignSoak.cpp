// The campaign of the one job with as many seeds as asked for, beside the
// benchmarks: pello_campaign --link rs232 --runs 5000 [--seed FIRST] [--verbose].
// Prints each seed where Apply claimed a success the unit does not bear out.

#include "tests/support/Campaign.h"
#include "tests/support/TestEnv.h"

#include <CLI/CLI.hpp>

#include <cstdio>

using namespace pello;

int main(int argc, char** argv)
{
    CLI::App app("The one job's randomized campaign: success only when the unit holds what was written.",
                 "pello_campaign");
    std::string link = "rs232";
    uint64_t first = 1;
    int runs = 1000;
    bool verbose = false;
    app.add_option("--link", link, "rs232 or usb")->check(CLI::IsMember({"rs232", "usb"}));
    app.add_option("--seed", first, "the first seed");
    app.add_option("--runs", runs, "how many seeds")->check(CLI::Range(1, 100000000));
    app.add_flag("--verbose", verbose, "print every run's device log");
    CLI11_PARSE(app, argc, argv);
    IsolateEnvironment();
    const Link l = link == "usb" ? Link::Usb : Link::Rs232;
    int found = 0, successes = 0, violations = 0;
    for (uint64_t seed = first; seed < first + static_cast<uint64_t>(runs); ++seed) {
        const CampaignRun run = RunCampaignSeed(l, seed);
        found += run.found;
        successes += run.success;
        if (verbose || run.Violates()) {
            std::printf("seed %llu: %s%s%s\n", static_cast<unsigned long long>(seed),
                        run.success ? "success" : run.found ? "failure" : "not found",
                        run.Violates() ? ", BUT THE UNIT DOES NOT HOLD WHAT WAS WRITTEN" : "",
                        run.failure.empty() ? "" : (" (" + run.failure + ")").c_str());
            for (const std::string& line : run.log) std::printf("  %s\n", line.c_str());
        }
        violations += run.Violates();
    }
    std::printf("%d runs over %s: %d found, %d successes, %d violations\n", runs, link.c_str(), found, successes,
                violations);
    RemoveScratch();
    return violations == 0 ? 0 : 1;
}
