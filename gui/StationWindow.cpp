#include "gui/StationWindow.h"

#include "gui/Sounds.h"
#include "label/Label.h"
#include "station/Book.h"
#include "station/Watcher.h"
#include "station/Words.h"
#include "storage/Pending.h"
#include "text/Text.h"

#include <wx/arrstr.h>
#include <wx/button.h>
#include <wx/fontutil.h>
#include <wx/listctrl.h>
#include <wx/panel.h>
#include <wx/sizer.h>
#include <wx/stattext.h>

#include <gtk/gtk.h>

#include <cstdio>
#include <memory>
#include <optional>

namespace pello {

namespace {

constexpr size_t kLastUnits = 10;

struct LookStyle {
    const char* word;
    wxColour background, text;
};

// Names and outcomes from the record as the text rule shows them: wx would
// show a string that is not UTF-8 as nothing at all.
wxString FromUtf8(const std::string& bytes) { return wxString::FromUTF8(text::Show(bytes)); }

wxFont Big(int points) { return wxFont(wxFontInfo(points).Bold()); }

// The word, the detail and the note: each its size, and its share of the
// panel's height.
constexpr int kPoints[3] = {56, 48, 24};
constexpr double kShare[3] = {0.28, 0.47, 0.25};
constexpr int kSmallestPoints = 9;
constexpr int kBorder = 8; // around each text in the panel

// What the toolkit needs to show `text` in `font` in `control`, measured as
// the label itself lays it out (its own context, the screen's resolution).
wxSize Needs(wxStaticText* control, const wxFont& font, const wxString& text)
{
    const std::unique_ptr<PangoLayout, decltype(&g_object_unref)> layout(
        gtk_widget_create_pango_layout(static_cast<GtkWidget*>(control->GetHandle()), text.utf8_str()), &g_object_unref);
    pango_layout_set_font_description(layout.get(), font.GetNativeFontInfo()->description);
    int width = 0, height = 0;
    pango_layout_get_pixel_size(layout.get(), &width, &height);
    return {width, height};
}

// `text` broken between words so that no line is wider than `width`, where
// that can be helped (a single word stays whole).
wxString Wrap(wxStaticText* control, const wxFont& font, const wxString& text, int width)
{
    wxString out, line;
    for (const wxString& word : wxSplit(text, ' ', '\0')) {
        const wxString longer = line.empty() ? word : line + " " + word;
        if (!line.empty() && Needs(control, font, longer).x > width) {
            out += line + "\n";
            line = word;
        } else {
            line = longer;
        }
    }
    return out + line;
}

// Shows `text` in the largest size up to `points` at which, wrapped, it
// needs no more than `room`.
void FitInRoom(wxStaticText* control, const wxString& text, int points, const wxSize& room)
{
    for (;; --points) {
        const wxFont font = Big(points);
        const wxString wrapped = Wrap(control, font, text, room.x);
        const wxSize needs = Needs(control, font, wrapped);
        if ((needs.x <= room.x && needs.y <= room.y) || points <= kSmallestPoints) {
            control->SetFont(font);
            control->SetLabelText(wrapped);
            // The sizer's room for it, whenever the toolkit takes the new font.
            control->SetMinSize(wxSize(0, needs.y));
            return;
        }
    }
}

wxString OutcomeWords(const station::UnitReport& r)
{
    return FromUtf8(r.outcome + (r.outcome == "programmed" ? "" : ": " + station::OperatorWords(r)));
}

// The reason a station stopped, as the operator reads it.
wxString StopWords(const std::string& why)
{
    return FromUtf8(why == "stopped" ? "stopped after this unit" : why);
}

} // namespace

CStationWindow* CStationWindow::s_pCurrent = nullptr;

// What the worker thread owns and uses alone once the station runs.
struct CStationWindow::Station {
    std::unique_ptr<storage::CStore> store;
    storage::Station who;
    CSnToolWorkflow flow;
    std::unique_ptr<station::CUnitWatcher> watcher;
    std::unique_ptr<station::CStationBook> book;
    std::optional<label::CLabelPrinter> labels;
    std::unique_ptr<station::CStation> line;
    CSounds sounds;
};

CStationWindow::CStationWindow(StationWindowOptions options)
    : wxFrame(nullptr, wxID_ANY, "Pellomatic station", wxDefaultPosition, wxSize(1000, 760)),
      m_options(std::move(options))
{
    s_pCurrent = this;
    Build();
    Bind(wxEVT_CLOSE_WINDOW, &CStationWindow::OnClose, this);
    Bind(wxEVT_CHAR_HOOK, &CStationWindow::OnKey, this);
    ShowLook(Look::Waiting, "batch " + FromUtf8(m_options.batch));
}

CStationWindow::~CStationWindow()
{
    m_bStop = true;
    if (m_worker.joinable()) {
        m_worker.join();
    }
    if (s_pCurrent == this) {
        s_pCurrent = nullptr;
    }
}

void CStationWindow::Build()
{
    m_pPanel = new wxPanel(this);
    m_pWord = new wxStaticText(m_pPanel, wxID_ANY, "", wxDefaultPosition, wxDefaultSize, wxALIGN_CENTRE_HORIZONTAL);
    m_pWord->SetFont(Big(56));
    m_pDetail = new wxStaticText(m_pPanel, wxID_ANY, "", wxDefaultPosition, wxDefaultSize, wxALIGN_CENTRE_HORIZONTAL);
    m_pDetail->SetFont(Big(48));
    m_pNote = new wxStaticText(m_pPanel, wxID_ANY, "", wxDefaultPosition, wxDefaultSize, wxALIGN_CENTRE_HORIZONTAL);
    m_pNote->SetFont(Big(24));
    auto* panelSizer = new wxBoxSizer(wxVERTICAL);
    panelSizer->AddStretchSpacer();
    for (wxStaticText* text : {m_pWord, m_pDetail, m_pNote}) panelSizer->Add(text, 0, wxEXPAND | wxALL, kBorder);
    panelSizer->AddStretchSpacer();
    m_pPanel->SetSizer(panelSizer);
    m_pPanel->Bind(wxEVT_SIZE, [this](wxSizeEvent& event) {
        FitTexts();
        event.Skip();
    });

    auto* below = new wxPanel(this);
    m_pCounts = new wxStaticText(below, wxID_ANY, "");
    m_pCounts->SetFont(Big(16));
    m_pStatus = new wxStaticText(below, wxID_ANY, "");
    m_pUnits = new wxListCtrl(below, wxID_ANY, wxDefaultPosition, wxSize(-1, 220), wxLC_REPORT | wxLC_SINGLE_SEL);
    for (const char* column : {"time", "unit", "serial", "outcome"}) m_pUnits->AppendColumn(column);
    m_pUnits->SetColumnWidth(3, 520);
    auto* stop = new wxButton(below, wxID_ANY, "Stop after this unit");
    stop->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { StopAfterThisUnit(); });
    auto* belowSizer = new wxBoxSizer(wxVERTICAL);
    belowSizer->Add(m_pCounts, 0, wxALL, 8);
    belowSizer->Add(m_pUnits, 1, wxEXPAND | wxLEFT | wxRIGHT, 8);
    auto* bottom = new wxBoxSizer(wxHORIZONTAL);
    bottom->Add(m_pStatus, 1, wxALIGN_CENTRE_VERTICAL);
    bottom->Add(stop, 0);
    belowSizer->Add(bottom, 0, wxEXPAND | wxALL, 8);
    below->SetSizer(belowSizer);

    auto* sizer = new wxBoxSizer(wxVERTICAL);
    sizer->Add(m_pPanel, 3, wxEXPAND);
    sizer->Add(below, 2, wxEXPAND);
    SetSizer(sizer);
}

void CStationWindow::ShowLook(Look look, const wxString& detail, const wxString& note)
{
    static const LookStyle kStyles[] = {{"WAITING FOR A UNIT", wxColour(214, 214, 210), *wxBLACK},
                                        {"PROGRAMMING", wxColour(47, 111, 208), *wxWHITE},
                                        {"PASS", wxColour(46, 157, 74), *wxWHITE},
                                        {"FAIL", wxColour(198, 40, 40), *wxWHITE},
                                        {"REMOVE THE UNIT", wxColour(240, 165, 0), *wxBLACK},
                                        {"STOPPED", wxColour(88, 94, 102), *wxWHITE}};
    const LookStyle& style = kStyles[static_cast<int>(look)];
    m_pPanel->SetBackgroundColour(style.background);
    for (wxStaticText* text : {m_pWord, m_pDetail, m_pNote}) text->SetForegroundColour(style.text);
    m_pNote->SetForegroundColour(note.empty() ? style.text : wxColour(255, 200, 60));
    m_texts[0] = style.word;
    m_texts[1] = detail;
    m_texts[2] = note;
    FitTexts();
    m_pPanel->Refresh();
}

void CStationWindow::SetNote(const wxString& note)
{
    m_texts[2] = note;
    FitTexts(2);
}

void CStationWindow::FitTexts(int only)
{
    const wxSize panel = m_pPanel->GetClientSize();
    const int width = panel.x - 2 * kBorder;
    const int height = panel.y - 6 * kBorder;
    if (width <= 0 || height <= 0) {
        return; // not laid out yet: the first size event fits them
    }
    wxStaticText* texts[3] = {m_pWord, m_pDetail, m_pNote};
    for (int i = 0; i < 3; ++i) {
        if (only < 0 || only == i) {
            FitInRoom(texts[i], m_texts[i], kPoints[i], wxSize(width, static_cast<int>(height * kShare[i])));
        }
    }
    m_pPanel->Layout();
}

void CStationWindow::ShowCounts(const station::StationTally& t)
{
    m_pCounts->SetLabel(wxString::Format("done %d    failed %d    skipped %d    %s per hour    %llu serials left",
                                         t.done, t.failed, t.skipped, station::PerHourText(t),
                                         static_cast<unsigned long long>(t.left)));
}

void CStationWindow::AddLastUnit(const station::UnitReport& r)
{
    const long row = m_pUnits->InsertItem(0, wxDateTime::Now().FormatISOTime());
    m_pUnits->SetItem(row, 1, wxString::Format("%d", r.unit));
    m_pUnits->SetItem(row, 2, r.serial.empty() ? wxString("-") : FromUtf8(r.serial));
    m_pUnits->SetItem(row, 3, OutcomeWords(r));
    while (static_cast<size_t>(m_pUnits->GetItemCount()) > kLastUnits) m_pUnits->DeleteItem(kLastUnits);
}

bool CStationWindow::Start(std::string* why)
{
    auto s = std::make_unique<Station>();
    if (!m_options.label.empty()) {
        s->labels.emplace(m_options.label, m_options.printer);
        if (!s->labels->Problem().empty()) {
            *why = s->labels->Problem();
            return false;
        }
    }
    s->who = storage::ThisStation(m_options.name, m_options.operatorName);
    try {
        s->store = std::make_unique<storage::CStore>(storage::OpenDatabase(m_options.db));
        for (const std::string& line : storage::SayReplayed(storage::ReplayPending(*s->store))) Tell(line);
        s->book = std::make_unique<station::CStationBook>(*s->store, s->who, m_options.batch,
                                                          [this](const std::string& what) { Tell(what); });
        s->book->SerialsLeft(); // an unknown batch is said before any unit is looked for
        s->book->CheckWrites(); // and a record that refuses writes
    } catch (const std::exception& e) {
        const auto* db = dynamic_cast<const storage::DbError*>(&e);
        const bool refuses = db != nullptr && db->Problem() == storage::DbProblem::ReadOnly;
        *why = std::string(refuses ? "the record refuses writes: " : "the record cannot be used: ") + e.what();
        return false;
    }
    s->flow.UseNamedDevice(m_options.link, m_options.port);
    s->watcher = m_options.link == Link::Usb ? station::MakeHidrawWatcher()
                                              : std::make_unique<station::CTimerWatcher>(1000);
    s->line = std::make_unique<station::CStation>(
        s->flow, *s->book, *s->watcher, static_cast<station::CStationEvents&>(*this),
        station::StationOptions {m_options.link, 0, 1000, !m_options.port.empty(), s->labels ? &*s->labels : nullptr,
                                 s->who.name, s->who.operatorName});
    m_pStation = std::move(s);
    m_worker = std::thread([this] { RunStation(); });
    return true;
}

void CStationWindow::RunStation()
{
    try {
        m_pStation->line->Run([this] { return m_bStop.load(); });
    } catch (const std::exception& e) {
        // Stopped() was never said: say it here, or the window would wait for it.
        const std::string what = e.what();
        const bool record = dynamic_cast<const storage::DbError*>(&e) != nullptr;
        m_bStopped = true;
        CallAfter([this, what, record] {
            ShowLook(Look::Stopped, record ? "the record cannot be reached" : "the station failed", FromUtf8(what));
            ShowStopped(what);
        });
    }
}

void CStationWindow::StopAfterThisUnit()
{
    m_bStop = true;
    if (!m_bStopped) m_pStatus->SetLabel(m_bUnitOnHand ? "stopping after this unit" : "stopping");
}

void CStationWindow::OnClose(wxCloseEvent& event)
{
    // A unit on hand is finished first; the window goes when the station has stopped.
    if (Running() && event.CanVeto()) {
        m_bCloseWhenStopped = true;
        StopAfterThisUnit();
        event.Veto();
        return;
    }
    event.Skip();
}

void CStationWindow::OnKey(wxKeyEvent& event)
{
    if (event.GetKeyCode() == WXK_F11) {
        ShowFullScreen(!IsFullScreen());
        return;
    }
    event.Skip();
}

void CStationWindow::FinishOnLostDisplay()
{
    CStationWindow* window = s_pCurrent;
    if (window == nullptr || !window->m_worker.joinable()) {
        return;
    }
    window->m_bStop = true;
    window->m_worker.join(); // its events go to a window that is no more; the unit is finished all the same
    std::fprintf(stderr, "pellomatic: the display went away; the station stopped after the unit on hand\n");
}

void CStationWindow::Tell(const std::string& what)
{
    std::fprintf(stderr, "pellomatic: %s\n", what.c_str());
    CallAfter([this, what] { SetNote(FromUtf8(what)); });
}

void CStationWindow::Waiting(const station::StationTally& tally)
{
    CallAfter([this, tally] { ShowCounts(tally); });
}

void CStationWindow::Arrived(int unit, const SearchResult& found)
{
    const std::string field = found.field;
    CallAfter([this, unit, field] {
        m_bUnitOnHand = true;
        ShowLook(Look::Programming, wxString::Format("unit %d", unit), FromUtf8(field));
    });
}

void CStationWindow::OnStep(const std::string& step)
{
    CallAfter([this, step] { SetNote("sending " + FromUtf8(step)); });
}

void CStationWindow::Finished(const station::UnitReport& report, const station::StationTally& tally)
{
    const bool pass = report.outcome == "programmed";
    if (pass) {
        m_pStation->sounds.Pass();
    } else if (report.outcome != "skipped") {
        m_pStation->sounds.Fail();
    }
    CallAfter([this, report, tally, pass] {
        m_bUnitOnHand = false;
        if (pass) {
            ShowLook(Look::Pass, FromUtf8(report.serial),
                     report.labelProblem.empty() ? wxString() : "label not printed: " + FromUtf8(report.labelProblem));
        } else if (report.outcome == "skipped") {
            ShowLook(Look::Remove, FromUtf8(report.detail));
        } else {
            ShowLook(Look::Fail, FromUtf8(station::OperatorWords(report)),
                     report.serial.empty() ? wxString() : "serial " + FromUtf8(report.serial + " " + report.state));
        }
        ShowCounts(tally);
        AddLastUnit(report);
        m_lastUnit = (report.serial.empty() ? wxString("-") : FromUtf8(report.serial)) + " " + OutcomeWords(report);
    });
}

void CStationWindow::Left(int)
{
    // The result stays in the last units; the panel is ready for the next.
    CallAfter([this] { ShowLook(Look::Waiting, "batch " + FromUtf8(m_options.batch)); });
}

void CStationWindow::Notice(const std::string& what) { Tell(what); }

void CStationWindow::Stopped(const std::string& why, const station::StationTally& tally)
{
    m_bStopped = true;
    // At once: the last PASS must not stay up over a unit nobody programs.
    CallAfter([this, why, tally] {
        ShowCounts(tally);
        ShowLook(Look::Stopped, StopWords(why), m_lastUnit.empty() ? wxString() : "last unit: " + m_lastUnit);
        ShowStopped(why);
    });
}

void CStationWindow::ShowStopped(const std::string& why)
{
    m_pStatus->SetLabel("station stopped: " + FromUtf8(why));
    if (m_bCloseWhenStopped) Destroy();
}

wxString CStationWindow::PanelWord() const { return m_texts[0]; }
wxString CStationWindow::PanelDetail() const { return m_texts[1]; }
wxString CStationWindow::PanelNote() const { return m_texts[2]; }
wxString CStationWindow::Status() const { return m_pStatus->GetLabel(); }
wxColour CStationWindow::PanelColour() const { return m_pPanel->GetBackgroundColour(); }

wxString CStationWindow::LastUnits() const
{
    wxString all;
    for (long row = 0; row < m_pUnits->GetItemCount(); ++row) {
        all += m_pUnits->GetItemText(row, 2) + " " + m_pUnits->GetItemText(row, 3) + "\n";
    }
    return all;
}

} // namespace pello
