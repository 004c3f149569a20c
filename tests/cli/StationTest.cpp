// The station end to end over a pseudo-terminal: a line of simulated units,
// a batch, the record.

#include "tests/support/ExpectedField.h"
#include "tests/support/LabelPrinter.h"
#include "tests/support/Spawn.h"
#include "tests/support/TestEnv.h"
#include "tests/support/ZplReader.h"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

using namespace pello;

namespace {

class Station : public ::testing::Test {
protected:
    std::vector<std::string> With(std::vector<std::string> args)
    {
        args.insert(args.begin(), {"--db", m_db, "--station", "line-1"});
        return args;
    }
    RunResult Cli(const std::vector<std::string>& args) { return RunProgram("pellomatic-cli", With(args), m_dir); }
    std::vector<nlohmann::json> Events(const std::string& out)
    {
        std::vector<nlohmann::json> events;
        std::istringstream lines(out);
        for (std::string line; std::getline(lines, line);) events.push_back(nlohmann::json::parse(line));
        return events;
    }
    std::string Stored(const std::string& state)
    {
        std::ifstream in(state);
        std::string sid, pabc;
        std::getline(in, sid);
        std::getline(in, pabc);
        return sid + " " + pabc;
    }
    std::string m_dir = MakeScratchDir("station");
    std::string m_db = m_dir + "/record.db";
    std::string m_port = m_dir + "/port";
};

} // namespace

TEST_F(Station, TwentyUnitsFromABatchOfTwentyAndOneThatArrivesProgrammed)
{
    ASSERT_EQ(Cli({"batch", "create", "ST", "--first", "ST0001", "--count", "20", "--code", "STATION0_001"}).exitCode, 0);
    // The third unit arrives carrying the first unit's serial.
    CDevsim line({"--link", m_port, "--units", "21", "--gap", "0.2", "--hold", "0.2", "--unit-sid",
                  "1400000000000000000000", "--unit-sid", "14UNIT0002000000000000", "--unit-sid", ExpectedField("ST0001")});
    const RunResult r = Cli({"station", "--batch", "ST", "--port", m_port, "--interval", "0.1", "--json"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    std::set<std::string> written;
    int skipped = 0;
    for (const auto& e : Events(r.out)) {
        if (e["event"] != "unit") continue;
        if (e["outcome"] == "skipped") {
            ++skipped;
            EXPECT_NE(e["detail"].get<std::string>().find("already programmed as " + ExpectedField("ST0001")), std::string::npos);
            continue;
        }
        EXPECT_EQ(e["outcome"], "programmed") << e.dump();
        EXPECT_TRUE(written.insert(e["serial"].get<std::string>()).second) << "written twice: " << e["serial"];
    }
    EXPECT_EQ(written.size(), 20u);
    EXPECT_EQ(skipped, 1);
    const auto summary = Events(r.out).back();
    EXPECT_EQ(summary["reason"], "the batch is used up");
    EXPECT_EQ(summary["done"], 20);
    EXPECT_EQ(nlohmann::json::parse(Cli({"log", "--format", "json"}).out).size(), 20u);
}

TEST_F(Station, NeverWritesAUnitTwiceAndStopsCleanlyOnCtrlC)
{
    ASSERT_EQ(Cli({"batch", "create", "ST", "--first", "ST0001", "--count", "20", "--code", "STATION0_001"}).exitCode, 0);
    {
        // A unit left connected: programmed once, looked at again and again.
        CDevsim unit({"--link", m_port, "--units", "1", "--hold", "1000"});
        CChild station("pellomatic-cli", With({"station", "--batch", "ST", "--port", m_port, "--interval", "0.1"}), m_dir);
        ASSERT_TRUE(station.WaitForOutput("ST0001  programmed"));
        ::usleep(1500000);
        station.Signal(SIGINT);
        const RunResult r = station.Wait();
        EXPECT_EQ(r.exitCode, 130) << r.err;
        EXPECT_NE(r.out.find("station stopped (stopped): 1 done, 0 failed, 0 skipped"), std::string::npos) << r.out;
        // And after a restart, still there: skipped, not written.
        CChild again("pellomatic-cli", With({"station", "--batch", "ST", "--port", m_port, "--interval", "0.1"}), m_dir);
        ASSERT_TRUE(again.WaitForOutput("-  skipped: already programmed as " + ExpectedField("ST0001")));
        again.Signal(SIGINT);
        EXPECT_EQ(again.Wait().exitCode, 130);
    }
    {
        // Ctrl+C while a unit is being written: its sequence ends, it is recorded.
        const std::string state = m_dir + "/slow";
        CDevsim unit({"--link", m_port, "--units", "1", "--state", state, "--reply-delay", "300"});
        CChild station("pellomatic-cli", With({"station", "--batch", "ST", "--port", m_port, "--interval", "0.1"}), m_dir);
        for (int i = 0; i < 1000 && Stored(state).rfind(ExpectedField("ST0002"), 0) != 0; ++i) ::usleep(10000);
        station.Signal(SIGINT);
        const RunResult r = station.Wait();
        EXPECT_EQ(r.exitCode, 130) << r.err;
        EXPECT_NE(r.out.find("ST0002  programmed"), std::string::npos) << r.out;
        EXPECT_EQ(Stored(state), ExpectedField("ST0002") + " STATION0_001");
    }
    const std::string show = Cli({"batch", "show", "ST"}).out;
    EXPECT_NE(show.find("18 free, 0 claimed, 2 programmed, 0 in doubt"), std::string::npos) << show;
    EXPECT_EQ(nlohmann::json::parse(Cli({"log", "--format", "json"}).out).size(), 2u);
}

TEST_F(Station, LabelsAfterEveryPassAndAgainFromTheRecord)
{
    ASSERT_EQ(Cli({"batch", "create", "LB", "--first", "LB0001", "--count", "3", "--code", "LABELCODE001"}).exitCode, 0);
    const std::string label = m_dir + "/label.zpl";
    std::ofstream(label) << "^XA{serial}|{field}|{code}|{batch}|{time}|{station}|{operator}|{other}^XZ";
    CTestLabelPrinter printer;
    {
        CDevsim line({"--link", m_port, "--units", "2", "--gap", "0.2", "--hold", "0.2"});
        const RunResult r = Cli({"--operator", "ana", "station", "--batch", "LB", "--port", m_port, "--interval", "0.1",
                                 "--count", "2", "--label", label, "--printer", printer.Address()});
        EXPECT_EQ(r.exitCode, 0) << r.err;
    }
    // Every placeholder filled, an unknown one left as it is; the time as the record writes it.
    const std::regex filled(R"(\^XA(LB000[12])\|(\d{2}LB000[12]0+)\|LABELCODE001\|LB\|(\d{4}-\d\d-\d\d[ T]\d\d:\d\d:\d\d\S*)\|line-1\|ana\|\{other\}\^XZ)");
    const std::vector<std::string> labels = printer.WaitForLabels(2);
    ASSERT_EQ(labels.size(), 2u);
    std::smatch m;
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(std::regex_match(labels[i], m, filled)) << labels[i];
        EXPECT_EQ(m[1], "LB000" + std::to_string(i + 1));
        EXPECT_EQ(m[2], ExpectedField(m[1]));
    }
    // Reprinted from the record: the same values.
    const std::vector<std::string> reprint = {"label", "LB0002", "--label", label, "--printer", printer.Address()};
    const RunResult again = Cli(reprint);
    EXPECT_EQ(again.exitCode, 0) << again.err;
    const std::vector<std::string> all = printer.WaitForLabels(3);
    ASSERT_EQ(all.size(), 3u);
    const auto withoutTime = [&](const std::string& text) { return std::regex_replace(text, std::regex(R"(\|LB\|[^|]*\|)"), "|LB||"); };
    EXPECT_EQ(withoutTime(all[2]), withoutTime(all[1]));
    // A serial no unit carries, and a printer that is not there: said, exit 18.
    std::vector<std::string> unknown = reprint;
    unknown[1] = "LB0003";
    const RunResult none = Cli(unknown);
    EXPECT_EQ(none.exitCode, 18);
    EXPECT_NE(none.err.find("no unit programmed with LB0003"), std::string::npos) << none.err;
    std::vector<std::string> refused = reprint;
    refused.back() = RefusingPrinter();
    const RunResult down = Cli(refused);
    EXPECT_EQ(down.exitCode, 18);
    EXPECT_NE(down.err.find("label not printed: cannot connect: Connection refused"), std::string::npos) << down.err;
    // A device file takes the label as it is.
    std::vector<std::string> toFile = reprint;
    toFile.back() = m_dir + "/lp0";
    std::ofstream(m_dir + "/lp0").flush();
    EXPECT_EQ(Cli(toFile).exitCode, 0);
    std::ifstream written(m_dir + "/lp0");
    const std::string device((std::istreambuf_iterator<char>(written)), std::istreambuf_iterator<char>());
    EXPECT_EQ(withoutTime(device), withoutTime(all[1]));
}

TEST_F(Station, LabelsCarryValuesNotCommands)
{
    const std::string batch = "B^XZ^XA^FO0,0^FDINJECTED^FS^XZ";
    ASSERT_EQ(Cli({"batch", "create", batch, "--first", "IN0001", "--count", "2", "--code", "LABELCODE001"}).exitCode, 0);
    const std::string label = m_dir + "/label.zpl";
    const std::string form = "^XA^FO20,20^A0N,30,30^FD{batch} {serial}^FS^FO20,60^FD{operator} at {station}^FS^XZ";
    std::ofstream(label) << form;
    CTestLabelPrinter printer;
    {
        CDevsim line({"--link", m_port, "--units", "1", "--hold", "0.2"});
        const RunResult r = Cli({"--operator", "o~JA_5E", "station", "--batch", batch, "--port", m_port, "--interval",
                                 "0.1", "--count", "1", "--label", label, "--printer", printer.Address()});
        EXPECT_EQ(r.exitCode, 0) << r.err;
    }
    const std::vector<std::string> labels = printer.WaitForLabels(1);
    ASSERT_EQ(labels.size(), 1u);
    // Exactly the template's formats and commands; the names are the fields' text.
    const auto count = [](const std::string& s, const std::string& what) {
        size_t n = 0;
        for (size_t at = s.find(what); at != std::string::npos; at = s.find(what, at + 1)) ++n;
        return n;
    };
    EXPECT_EQ(count(labels[0], "^XA"), 1u) << labels[0];
    EXPECT_EQ(count(labels[0], "^XZ"), 1u) << labels[0];
    const ZplLabel read = ReadZplLabel(labels[0]);
    EXPECT_EQ(read.commands, ReadZplLabel(form).commands) << labels[0];
    EXPECT_EQ(read.fields, (std::vector<std::string> {batch + " IN0001", "o~JA_5E at line-1"})) << labels[0];
    // A printer that takes 10 bytes and resets: not printed, exit 18.
    CTestLabelPrinter resetting(10);
    const RunResult reset = Cli({"label", "IN0001", "--label", label, "--printer", resetting.Address()});
    EXPECT_EQ(reset.exitCode, 18);
    EXPECT_NE(reset.err.find("label not printed: the printer reset the connection"), std::string::npos) << reset.err;
    // A template that cannot be one is refused when the station starts (the cases: tests/label).
    const RunResult zero = Cli({"station", "--batch", batch, "--port", m_port, "--label", "/dev/zero", "--printer",
                                printer.Address()});
    EXPECT_EQ(zero.exitCode, 1);
    EXPECT_NE(zero.err.find("/dev/zero is not a regular file"), std::string::npos) << zero.err;
}
