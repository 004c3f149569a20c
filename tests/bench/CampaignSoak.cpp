// The campaigns with as many seeds as asked for, beside the benchmarks:
//   pello_campaign --link rs232 --runs 5000 [--seed FIRST] [--verbose]
//     the one job: prints each seed where Apply claimed a success the unit
//     does not bear out;
//   pello_campaign --line sqlite|postgres --runs 10 [--seed FIRST]
//     the record: a line of stations against simulated units, each seed a
//     minute or so; prints what the record got wrong;
//   pello_campaign --stats sqlite|postgres --runs 100 [--seed FIRST]
//     the line's numbers: seeded histories against a plain count; prints
//     each figure that differs.

#include "tests/support/Campaign.h"
#include "tests/support/LineCampaign.h"
#include "tests/support/Postgres.h"
#include "tests/support/StatsCampaign.h"
#include "tests/support/TestEnv.h"

#include <sqlite3.h>

#include <chrono>
#include <thread>

#include <CLI/CLI.hpp>

#include <cstdio>

using namespace pello;

namespace {

int RunLine(const std::string& backend, uint64_t first, int runs)
{
    int failed = 0;
    for (uint64_t seed = first; seed < first + static_cast<uint64_t>(runs); ++seed) {
        std::unique_ptr<CPostgresServer> server;
        LineCampaignSetup setup;
        setup.dir = MakeScratchDir("line");
        if (backend == "postgres") {
            server = std::make_unique<CPostgresServer>();
            setup.db = server->NewDatabase("line");
            setup.interruptRecord = [&] {
                server->Stop();
                std::this_thread::sleep_for(std::chrono::seconds(2));
                server->Start();
            };
        } else {
            setup.db = setup.dir + "/record.db";
            setup.interruptRecord = [&] {
                sqlite3* db = nullptr;
                if (sqlite3_open(setup.db.c_str(), &db) == SQLITE_OK &&
                    sqlite3_exec(db, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr) == SQLITE_OK) {
                    std::this_thread::sleep_for(std::chrono::seconds(7));
                }
                sqlite3_close(db);
            };
        }
        const std::vector<std::string> violations = RunLineCampaign(setup, seed);
        for (const std::string& v : violations) std::printf("seed %llu: %s\n", static_cast<unsigned long long>(seed), v.c_str());
        failed += violations.empty() ? 0 : 1;
    }
    std::printf("%d line runs on %s: %d with violations\n", runs, backend.c_str(), failed);
    return failed == 0 ? 0 : 1;
}

int RunStats(const std::string& backend, uint64_t first, int runs)
{
    std::unique_ptr<CPostgresServer> server = backend == "postgres" ? std::make_unique<CPostgresServer>() : nullptr;
    int failed = 0;
    for (uint64_t seed = first; seed < first + static_cast<uint64_t>(runs); ++seed) {
        const std::string db = server ? server->NewDatabase("stats" + std::to_string(seed))
                                      : MakeScratchDir("stats") + "/record.db";
        const std::vector<std::string> wrong = RunStatsCampaign(db, seed);
        for (const std::string& w : wrong) std::printf("seed %llu: %s\n", static_cast<unsigned long long>(seed), w.c_str());
        failed += wrong.empty() ? 0 : 1;
    }
    std::printf("%d stats runs on %s: %d with figures that differ\n", runs, backend.c_str(), failed);
    return failed == 0 ? 0 : 1;
}

} // namespace

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
    std::string line;
    app.add_option("--line", line, "run the record's campaign on sqlite or postgres instead")
        ->check(CLI::IsMember({"sqlite", "postgres"}));
    std::string stats;
    app.add_option("--stats", stats, "run the line's numbers' campaign on sqlite or postgres instead")
        ->check(CLI::IsMember({"sqlite", "postgres"}));
    CLI11_PARSE(app, argc, argv);
    IsolateEnvironment();
    if (!stats.empty()) {
        const int rc = RunStats(stats, first, runs);
        RemoveScratch();
        return rc;
    }
    if (!line.empty()) {
        const int rc = RunLine(line, first, runs);
        RemoveScratch();
        return rc;
    }
    const Link l = link == "usb" ? Link::Usb : Link::Rs232;
    int found = 0, successes = 0, violations = 0;
    for (uint64_t seed = first; seed < first + static_cast<uint64_t>(runs); ++seed) {
        const CampaignRun run = RunCampaignSeed(l, seed);
        found += run.found;
        successes += run.success;
        if (verbose || run.Violates()) {
            std::printf("seed %llu: %s%s%s\n", static_cast<unsigned long long>(seed),
                        run.success ? "success" : run.found ? "failure" : "not found",
                        !run.Violates() ? ""
                        : run.freed     ? ", BUT THE SERIAL IS FREED WHILE THE UNIT CARRIES IT"
                                        : ", BUT THE UNIT DOES NOT HOLD WHAT WAS WRITTEN",
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
