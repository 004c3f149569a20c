// The station window as a real window under Xvfb, against a line of
// simulated units on a pseudo-terminal, a real record and a label printer
// on a local TCP port.

#include "gui/StationWindow.h"
#include "tests/gui/GuiSupport.h"
#include "tests/support/ExpectedField.h"
#include "tests/support/LabelPrinter.h"
#include "tests/support/Spawn.h"
#include "tests/support/TestEnv.h"

#include <gtest/gtest.h>

#include <wx/app.h>
#include <wx/image.h>
#include <wx/panel.h>
#include <wx/stattext.h>
#include <wx/utils.h>

#include <gtk/gtk.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <fstream>
#include <functional>

using namespace pello;

namespace pello {
extern std::string g_strDocsDir;
}

namespace {

const char* kBlank = "1400000000000000000000";

// One look of the panel, as the operator saw it.
struct Look {
    std::string word, detail, note;
    wxColour colour;
    std::string cut; // a text that did not fit the panel, and how
    bool operator==(const Look& o) const { return word == o.word && detail == o.detail && note == o.note; }
};

// A text of the panel that the screen cuts, by the toolkit's own measure of
// its words: wider or taller than the room it was given, or that room
// outside the panel. "" when every text shows whole.
std::string CutText(const CStationWindow& window)
{
    const wxSize panel = window.Panel()->GetClientSize();
    for (wxStaticText* text : window.PanelTexts()) {
        auto* label = static_cast<GtkWidget*>(text->GetHandle());
        int least = 0, width = 0, height = 0;
        gtk_widget_get_preferred_width(label, &least, &width);
        gtk_widget_get_preferred_height(label, &least, &height);
        const wxRect room = text->GetRect();
        if (width > room.width || height > room.height || room.x < 0 || room.y < 0 || room.GetRight() >= panel.x ||
            room.GetBottom() >= panel.y) {
            return wxString::Format("\"%s\" needs %dx%d, has %dx%d at %d,%d in %dx%d", text->GetLabel(), width, height,
                                    room.width, room.height, room.x, room.y, panel.x, panel.y)
                .utf8_string();
        }
    }
    return "";
}

// How far a colour is from another, channel by channel.
int Distance(const wxColour& a, const wxColour& b)
{
    return std::max({std::abs(a.Red() - b.Red()), std::abs(a.Green() - b.Green()), std::abs(a.Blue() - b.Blue())});
}

const wxColour kGreen(46, 157, 74), kRed(198, 40, 40), kAmber(240, 165, 0);

class StationWindowTest : public ::testing::Test {
protected:
    ~StationWindowTest() override
    {
        if (Alive()) {
            m_window->Destroy(); // a failed test's window
            Settle(2);
        }
    }
    RunResult Cli(std::vector<std::string> args)
    {
        args.insert(args.begin(), {"--db", m_db});
        return RunProgram("pellomatic-cli", args, m_dir);
    }
    // A station window on `port`; labels to `printer` unless it is "".
    void Open(const std::string& batch, const std::string& printer, const std::string& port = "")
    {
        std::ofstream(m_dir + "/label.txt") << "{serial} {field} {code} {batch} {station} {operator}";
        StationWindowOptions options {batch, Link::Rs232, port.empty() ? m_port : port, m_db, "bench-7", "ana",
                                      printer.empty() ? "" : m_dir + "/label.txt", printer};
        m_window = new CStationWindow(options);
        std::string why;
        ASSERT_TRUE(m_window->Start(&why)) << why;
        m_window->Show();
    }
    bool Alive() const
    {
        const bool listed =
            std::find(wxTopLevelWindows.begin(), wxTopLevelWindows.end(), m_window) != wxTopLevelWindows.end();
        return m_window != nullptr && listed && !m_window->IsBeingDeleted();
    }
    // Lets the window run, noting every new look, until `done` says so or the
    // window is gone (at most two minutes); whether `done` said so.
    bool RunUntil(const std::function<bool()>& done)
    {
        for (int i = 0; i < 6000; ++i) {
            wxYield();
            if (!Alive()) return false;
            const Look now {m_window->PanelWord().utf8_string(), m_window->PanelDetail().utf8_string(),
                            m_window->PanelNote().utf8_string(), m_window->PanelColour(), ""};
            if (m_looks.empty() || !(m_looks.back() == now)) {
                m_looks.push_back(now);
            } else {
                m_looks.back().cut = CutText(*m_window); // once the toolkit has drawn it
            }
            if (done()) return true;
            wxMilliSleep(20);
        }
        return false;
    }
    const Look* Seen(const std::string& word) const
    {
        const auto it = std::find_if(m_looks.begin(), m_looks.end(), [&](const Look& l) { return l.word == word; });
        return it == m_looks.end() ? nullptr : &*it;
    }
    // Closes the window and waits until it has gone.
    void CloseAndWait()
    {
        m_window->Close();
        EXPECT_TRUE(!RunUntil([] { return false; }) && !Alive()) << "the window stayed";
    }
    std::vector<nlohmann::json> Rows()
    {
        const RunResult log = Cli({"log", "--format", "json"});
        return nlohmann::json::parse(log.out).get<std::vector<nlohmann::json>>();
    }

    std::string m_dir = MakeScratchDir("station-window");
    std::string m_db = m_dir + "/record.db";
    std::string m_port = m_dir + "/port";
    CStationWindow* m_window = nullptr;
    std::vector<Look> m_looks;
};

} // namespace

TEST_F(StationWindowTest, PassFailAndRemoveAsTheOperatorSeesThem)
{
    ASSERT_EQ(Cli({"batch", "create", "GW", "--first", "GW0001", "--count", "5", "--code", "GWCODE000001"}).exitCode, 0);
    CTestLabelPrinter printer;
    // The second unit refuses its serial; the third arrives carrying the first's.
    CDevsim line({"--link", m_port, "--units", "3", "--gap", "1", "--hold", "2", "--fault", "SID=normal,nak,nak,nak",
                  "--unit-sid", kBlank, "--unit-sid", kBlank, "--unit-sid", ExpectedField("GW0001")});
    Open("GW", printer.Address());
    wxColour shown;
    ASSERT_TRUE(RunUntil([&] {
        if (m_window->PanelWord() == "PASS" && !shown.IsOk()) {
            // The panel, as the screen shows it, away from its words.
            const wxString dir = g_strDocsDir.empty() ? wxString(m_dir) : wxString(g_strDocsDir);
            Snapshot(*m_window, (dir + "/station.png").utf8_str());
            const wxImage shot = ScreenShot(*m_window->Panel()).ConvertToImage();
            shown = wxColour(shot.GetRed(6, 6), shot.GetGreen(6, 6), shot.GetBlue(6, 6));
        }
        return Seen("REMOVE THE UNIT") != nullptr;
    })) << "no REMOVE THE UNIT";
    ASSERT_NE(Seen("PASS"), nullptr);
    EXPECT_EQ(Seen("PASS")->detail, "GW0001");
    EXPECT_EQ(Distance(Seen("PASS")->colour, kGreen), 0);
    EXPECT_LE(Distance(shown, kGreen), 8) << shown.GetAsString().utf8_string();
    ASSERT_NE(Seen("FAIL"), nullptr);
    EXPECT_EQ(Seen("FAIL")->detail, "the unit refused the serial number");
    EXPECT_EQ(Distance(Seen("FAIL")->colour, kRed), 0);
    EXPECT_EQ(Distance(Seen("REMOVE THE UNIT")->colour, kAmber), 0);
    EXPECT_EQ(Seen("REMOVE THE UNIT")->detail.rfind("already programmed as " + ExpectedField("GW0001") + " at ", 0), 0u);
    // Every text whole, at the window's size and at full screen.
    for (const Look& look : m_looks) EXPECT_EQ(look.cut, "") << look.word << ": " << look.detail;
    m_window->ShowFullScreen(true);
    Settle();
    EXPECT_EQ(CutText(*m_window), "") << "full screen";
    EXPECT_GT(m_window->Panel()->GetClientSize().x, 1100) << "not full screen";
    m_window->ShowFullScreen(false);
    EXPECT_NE(m_window->LastUnits().Find("GW0002 failed: the unit refused the serial number"), wxNOT_FOUND)
        << m_window->LastUnits().utf8_string();
    // Its label, every placeholder filled.
    EXPECT_EQ(printer.WaitForLabels(1), std::vector<std::string> {"GW0001 " + ExpectedField("GW0001") + " GWCODE000001 GW bench-7 ana"});
    CloseAndWait();
    // The same rows as the command-line station writes.
    const std::vector<nlohmann::json> rows = Rows();
    ASSERT_EQ(rows.size(), 2u);
    for (const auto& row : rows) EXPECT_EQ(row["station"], "bench-7") << row.dump();
}

TEST_F(StationWindowTest, APrinterThatRefusesFailsNothingAndClosingFinishesTheUnit)
{
    ASSERT_EQ(Cli({"batch", "create", "GX", "--first", "GX0001", "--count", "3", "--code", "GXCODE000001"}).exitCode, 0);
    // A slow unit that stays long enough for a slow build (sanitizers, a busy machine).
    CDevsim line({"--link", m_port, "--units", "2", "--gap", "1", "--hold", "4", "--reply-delay", "300"});
    Open("GX", RefusingPrinter());
    ASSERT_TRUE(RunUntil([&] { return m_window->PanelWord() == "PROGRAMMING" && Seen("PASS") != nullptr; }));
    EXPECT_EQ(Seen("PASS")->detail, "GX0001");
    EXPECT_EQ(Seen("PASS")->note.rfind("label not printed: cannot connect: Connection refused", 0), 0u)
        << Seen("PASS")->note;
    // Closing while the second unit is on the wire: it is finished first.
    m_window->Close();
    EXPECT_TRUE(Alive());
    EXPECT_EQ(m_window->Status(), "stopping after this unit");
    CloseAndWait();
    const std::vector<nlohmann::json> rows = Rows();
    ASSERT_EQ(rows.size(), 2u);
    for (const auto& row : rows) {
        EXPECT_EQ(row["outcome"], "programmed") << row.dump();
        EXPECT_NE(row["detail"].get<std::string>().find("label not printed"), std::string::npos) << row.dump();
    }
}

// Once the station stops, a large neutral STOPPED says why at once: the
// batch used up (the last PASS does not stay up over the next unit, which
// nobody programs), or "Stop after this unit" after the unit on hand.
TEST_F(StationWindowTest, StoppedSaysWhyAndLeavesNoPassUp)
{
    ASSERT_EQ(Cli({"batch", "create", "GU", "--first", "GU0001", "--count", "1", "--code", "GUCODE000001"}).exitCode, 0);
    CDevsim line({"--link", m_port, "--units", "2", "--gap", "1", "--hold", "1"});
    Open("GU", "");
    ASSERT_TRUE(RunUntil([&] { return m_window->PanelWord() == "STOPPED"; }));
    // The next unit comes (later units carry fields of their own), as a look would find it.
    bool connected = false;
    for (int i = 0; i < 60 && !connected; ++i) {
        connected = RunProgram("pellomatic-cli", {"--no-record", "search", "--port", m_port}, m_dir).out.find("UNIT0002") !=
                    std::string::npos;
        RunUntil([] { return true; });
    }
    EXPECT_TRUE(connected) << "the second unit never came";
    const Look& last = m_looks.back();
    EXPECT_EQ(last.word, "STOPPED");
    EXPECT_EQ(last.detail, "the batch is used up");
    EXPECT_EQ(last.note, "last unit: GU0001 programmed");
    EXPECT_EQ(last.cut, "");
    for (const wxColour& loud : {kGreen, kRed, kAmber, wxColour(47, 111, 208)}) EXPECT_GT(Distance(last.colour, loud), 60);
    EXPECT_EQ(m_window->Status(), "station stopped: the batch is used up");
    CloseAndWait();

    // "Stop after this unit" while a unit is on the wire.
    ASSERT_EQ(Cli({"batch", "create", "GV", "--first", "GV0001", "--count", "5", "--code", "GVCODE000001"}).exitCode, 0);
    const std::string port = m_dir + "/port2";
    CDevsim slow({"--link", port, "--units", "2", "--gap", "0.5", "--hold", "5", "--reply-delay", "300"});
    m_looks.clear();
    Open("GV", "", port);
    ASSERT_TRUE(RunUntil([&] { return m_window->PanelWord() == "PROGRAMMING"; }));
    m_window->StopAfterThisUnit();
    ASSERT_TRUE(RunUntil([&] { return m_window->PanelWord() == "STOPPED"; }));
    EXPECT_EQ(m_window->PanelDetail(), "stopped after this unit");
    EXPECT_EQ(m_window->PanelNote(), "last unit: GV0001 programmed");
    CloseAndWait();
    EXPECT_NE(Cli({"batch", "show", "GV"}).out.find("4 free, 0 claimed, 1 programmed"), std::string::npos);
}
