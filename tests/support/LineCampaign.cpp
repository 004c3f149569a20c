#include "tests/support/LineCampaign.h"

#include "storage/Pending.h"
#include "tests/support/Spawn.h"
#include "tests/support/TestEnv.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

namespace pello {

namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr int kSerials = 40;
constexpr const char* kCode = "LINECODE_001";
constexpr auto kMostTime = std::chrono::seconds(75);

struct Unit {
    std::string sid, pabc;
    bool booted = false;
};

class CLine {
public:
    CLine(const LineCampaignSetup& setup, uint64_t seed) : m_setup(setup), m_rng(seed), m_seed(seed) {}

    std::vector<std::string> Run()
    {
        if (Cli({"batch", "create", "LINE", "--first", "LN0001", "--count", std::to_string(kSerials), "--code",
                 kCode})
                .exitCode != 0) {
            return {"batch create failed"};
        }
        StartLine();
        Disturb();
        StopLine();
        return Check();
    }

private:
    RunResult Cli(std::vector<std::string> args, const std::string& clockOffset = "")
    {
        args.insert(args.begin(), {"--db", m_setup.db});
        if (clockOffset.empty()) {
            return RunProgram("pellomatic-cli", args, m_setup.dir);
        }
        args.insert(args.begin(), {"-f", clockOffset, BinDir() + "/pellomatic-cli"});
        return RunProgram("/usr/bin/faketime", args, m_setup.dir);
    }
    std::string Port(int i) const { return m_setup.dir + "/port" + std::to_string(i); }
    std::string Ledger(int i) const { return m_setup.dir + "/ledger" + std::to_string(i); }

    void StartLine()
    {
        for (int i = 0; i < m_setup.stations; ++i) {
            m_units.push_back(std::make_unique<CDevsim>(std::vector<std::string> {
                "--link", Port(i), "--units", std::to_string(m_setup.unitsPerStation), "--blank-units", "--gap", "0.2",
                "--gap-max", "3", "--hold", "0.4", "--chaos", "6", "--seed", std::to_string(m_seed * 16 + i),
                "--ledger", Ledger(i)}));
            m_stations.push_back(StartStation(i));
        }
    }
    std::unique_ptr<CChild> StartStation(int i)
    {
        return std::make_unique<CChild>("pellomatic-cli",
                                        std::vector<std::string> {"--db", m_setup.db, "--station", "st" + std::to_string(i),
                                                                  "station", "--batch", "LINE", "--port", Port(i),
                                                                  "--interval", "0.2", "--json"},
                                        m_setup.dir);
    }
    int Draw(int below) { return std::uniform_int_distribution<int>(0, below - 1)(m_rng); }
    void Sleep(int minMs, int maxMs)
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(minMs + Draw(maxMs - minMs + 1)));
    }
    bool LinesDone() const
    {
        for (int i = 0; i < m_setup.stations; ++i) {
            std::ifstream in(Ledger(i));
            int lines = 0;
            for (std::string l; std::getline(in, l);) ++lines;
            if (lines < m_setup.unitsPerStation - 1) return false; // the last unit stays until the end
        }
        return true;
    }

    // Kills and restarts stations, takes the record away once, lets a
    // supervisor look, until every line has presented its units.
    void Disturb()
    {
        const auto start = Clock::now();
        bool interrupted = false;
        while (!LinesDone() && Clock::now() - start < kMostTime) {
            Sleep(1500, 4000);
            for (int i = 0; i < m_setup.stations; ++i) {
                if (m_stations[static_cast<size_t>(i)]->Exited()) m_stations[static_cast<size_t>(i)] = StartStation(i);
            }
            switch (Draw(4)) {
            case 0: KillOneStation(); break;
            case 1: Supervise(); break;
            case 2:
                if (!interrupted && m_setup.interruptRecord) m_setup.interruptRecord();
                interrupted = true;
                break;
            default: break;
            }
        }
    }
    void KillOneStation()
    {
        const int i = Draw(m_setup.stations);
        ++m_kills;
        m_stations[static_cast<size_t>(i)]->Signal(SIGKILL);
        m_stations[static_cast<size_t>(i)]->Wait();
        Sleep(300, 1500);
        m_stations[static_cast<size_t>(i)] = StartStation(i);
    }
    // A supervisor whose clock runs 20 minutes fast looks at the batch,
    // spoils some of what is in doubt, and tries to free serials that the
    // record shows a unit carries: programmed, or read back from the unit
    // after a failed sequence. Those must be refused.
    void Supervise()
    {
#ifdef __SANITIZE_ADDRESS__
        const std::string offset; // a sanitizer's runtime must load first: no faketime
#else
        const std::string offset = "+20m";
#endif
        Cli({"batch", "show", "LINE"}, offset);
        const std::set<std::string> readBack = ReadBackFromAUnit();
        for (const json& s : Export()) {
            const std::string serial = s["serial"];
            if (s["state"] == "in doubt" && readBack.count(serial) == 0 && Draw(2) == 0) {
                Cli({"batch", "resolve", "LINE", serial, "--spoiled"}, offset);
            }
            const bool carried = s["state"] == "programmed" || (s["state"] == "in doubt" && readBack.count(serial));
            if (carried && Draw(2) == 0 && Cli({"batch", "resolve", "LINE", serial, "--free"}, offset).exitCode == 0) {
                m_violations.push_back("resolve --free of " + serial + " (" + s["state"].get<std::string>() +
                                       "), which a unit carries, was taken");
            }
        }
    }
    // Serials whose rows say the unit read them back.
    std::set<std::string> ReadBackFromAUnit()
    {
        std::set<std::string> serials;
        const RunResult log = Cli({"log", "--format", "json"});
        for (const json& r : log.exitCode == 0 ? json::parse(log.out) : json::array()) {
            if (r["verify"] == "matched") serials.insert(r["serial"].get<std::string>());
        }
        return serials;
    }
    json Export()
    {
        const RunResult r = Cli({"batch", "export", "LINE", "--format", "json"});
        return r.exitCode == 0 ? json::parse(r.out) : json::array();
    }
    void StopLine()
    {
        for (auto& station : m_stations) station->Signal(SIGINT);
        for (auto& station : m_stations) station->Wait();
        for (auto& unit : m_units) unit->Stop(); // the last unit goes into the ledger too
    }

    std::vector<Unit> Units() const
    {
        std::vector<Unit> units;
        for (int i = 0; i < m_setup.stations; ++i) {
            std::ifstream in(Ledger(i));
            for (std::string line; std::getline(in, line);) {
                std::istringstream fields(line);
                std::string word, number, booted;
                Unit u;
                fields >> word >> number >> u.sid >> u.pabc >> booted;
                u.booted = booted == "booted";
                units.push_back(u);
            }
        }
        return units;
    }

    std::vector<std::string> Check()
    {
        Cli({"batch", "show", "LINE"}); // abandoned claims of killed stations go in doubt
        const RunResult log = Cli({"log", "--format", "json"}); // kept outcomes are written first
        const json rows = log.exitCode == 0 ? json::parse(log.out) : json::array();
        std::map<std::string, json> byField;
        for (const json& s : Export()) byField[s["field"].get<std::string>()] = s;
        CheckRows(rows);
        CheckUnits(rows, byField);
        CheckKept();
        return m_violations;
    }
    void CheckRows(const json& rows)
    {
        std::set<std::string> attempts, programmed;
        for (const json& r : rows) {
            const std::string attempt = r["attempt"];
            if (!attempt.empty() && !attempts.insert(attempt).second) {
                m_violations.push_back("two record rows of attempt " + attempt);
            }
            if (r["outcome"] == "programmed" && !r["serial"].get<std::string>().empty() &&
                !programmed.insert(r["serial"].get<std::string>()).second) {
                m_violations.push_back("two programmed rows for " + r["serial"].get<std::string>());
            }
        }
    }
    static bool HasProgrammedRow(const json& rows, const std::string& serial)
    {
        for (const json& r : rows) {
            if (r["serial"] == serial && r["outcome"] == "programmed") return true;
        }
        return false;
    }
    static bool SaysWhatWentOut(const json& serial)
    {
        for (const json& e : serial["history"]) {
            if (e["event"] == "in doubt") return true;
        }
        return false;
    }
    void CheckUnits(const json& rows, const std::map<std::string, json>& byField)
    {
        std::set<std::string> carried;
        const std::vector<Unit> units = Units();
        for (const Unit& u : units) {
            const auto it = byField.find(u.sid);
            if (it == byField.end()) continue; // a new unit's field, or one nobody wrote
            const json& s = it->second;
            const std::string serial = s["serial"], state = s["state"];
            if (!carried.insert(u.sid).second) m_violations.push_back("two units carry " + serial);
            if (state == "free" || state == "claimed") {
                m_violations.push_back("a unit carries " + serial + ", which is " + state);
            } else if (state == "programmed" && !HasProgrammedRow(rows, serial)) {
                m_violations.push_back("a unit carries " + serial + ": programmed, but no row says so");
            } else if (state == "programmed" && (u.pabc != kCode || !u.booted)) {
                m_violations.push_back("a unit carries " + serial + ", programmed, but its code is " + u.pabc +
                                       (u.booted ? "" : " and it did not restart with both fields"));
            } else if ((state == "in doubt" || state == "spoiled") && !SaysWhatWentOut(s)) {
                m_violations.push_back("a unit carries " + serial + ", in doubt without saying why");
            }
        }
        for (const auto& [field, s] : byField) {
            if (s["state"] == "programmed" && carried.count(field) == 0) {
                m_violations.push_back("the record calls " + s["serial"].get<std::string>() +
                                       " programmed, but no unit carries it");
            }
        }
        std::printf("line campaign, seed %llu: %zu units, %zu carry a serial of the batch, %d station kills\n",
                    static_cast<unsigned long long>(m_seed), units.size(), carried.size(), m_kills);
        if (carried.empty()) m_violations.push_back("no unit was programmed: the campaign proved nothing");
    }
    void CheckKept()
    {
        std::ifstream kept(storage::PendingPath());
        for (std::string line; std::getline(kept, line);) {
            if (!line.empty()) m_violations.push_back("a kept outcome was never written: " + line.substr(0, 80));
        }
        if (std::ifstream(storage::PendingPath() + ".bad")) m_violations.push_back("kept outcomes were set aside");
    }

    const LineCampaignSetup& m_setup;
    std::mt19937_64 m_rng;
    uint64_t m_seed;
    std::vector<std::unique_ptr<CDevsim>> m_units;
    std::vector<std::unique_ptr<CChild>> m_stations;
    std::vector<std::string> m_violations;
    int m_kills = 0;
};

} // namespace

std::vector<std::string> RunLineCampaign(const LineCampaignSetup& setup, uint64_t seed)
{
    return CLine(setup, seed).Run();
}

} // namespace pello
