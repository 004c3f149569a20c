#pragma once
// The station for the operator's eyes: one large panel that says what to do
// and how the last unit went, readable from a metre away (WAITING FOR A UNIT,
// PROGRAMMING with the frame on the wire, PASS with the serial, FAIL with the
// reason in plain words, REMOVE THE UNIT, and STOPPED with the reason once
// the station no longer programs; every text wrapped or made smaller until
// it fits the panel), a sound for each result, the
// counts, the last ten units, and labels after every pass. The same CStation
// as the command line runs on a worker thread; every widget changes on the
// window's thread.

#include "core/Workflow.h"
#include "station/Station.h"

#include <wx/frame.h>

#include <atomic>
#include <deque>
#include <memory>
#include <string>
#include <thread>
#include <vector>

class wxListCtrl;
class wxPanel;
class wxStaticText;

namespace pello {

struct StationWindowOptions {
    std::string batch;
    Link link = Link::Usb;
    std::string port;         // RS232 device, or a hidraw node; "" for the search's own
    std::string db;           // "" for the default record
    std::string name;         // the station's name in the record; "" for the host name
    std::string operatorName;
    std::string label, printer; // a label after every pass, when both are given
};

class CStationWindow : public wxFrame, private station::CStationEvents {
public:
    explicit CStationWindow(StationWindowOptions options);
    ~CStationWindow() override;

    // Opens the record and starts the station; false, with the reason, when it cannot.
    bool Start(std::string* why);
    // The station stops once the unit on hand (if any) is done.
    void StopAfterThisUnit();
    bool Running() const { return m_worker.joinable() && !m_bStopped; }
    // Start() succeeded: the station runs or has run.
    bool Started() const { return m_worker.joinable(); }
    // The display has gone: the unit on hand is finished before the process
    // ends. For the last window made.
    static void FinishOnLostDisplay();

    // What the operator sees, for tests and pictures.
    wxString PanelWord() const;
    wxString PanelDetail() const;
    wxString PanelNote() const;
    wxString Status() const; // below the counts: stopping, stopped and why
    wxColour PanelColour() const;
    wxPanel* Panel() const { return m_pPanel; }
    // The panel's three texts: the word, the detail and the note.
    std::vector<wxStaticText*> PanelTexts() const { return {m_pWord, m_pDetail, m_pNote}; }
    wxString LastUnits() const;

private:
    enum class Look { Waiting, Programming, Pass, Fail, Remove, Stopped };
    void Build();
    void ShowLook(Look look, const wxString& detail, const wxString& note = {});
    void SetNote(const wxString& note);
    // Each text of the panel (or only the one at `only`: 0 the word, 1 the
    // detail, 2 the note) at the largest size, up to its own, at which it
    // fits its share of the panel, wrapped between words.
    void FitTexts(int only = -1);
    void ShowCounts(const station::StationTally& tally);
    void AddLastUnit(const station::UnitReport& report);
    void ShowStopped(const std::string& why);
    void OnClose(wxCloseEvent& event);
    void OnKey(wxKeyEvent& event);
    void RunStation(); // on the worker thread
    void Tell(const std::string& what);

    // The station's events, on the worker thread: each becomes a change of
    // the window on its own thread.
    void Waiting(const station::StationTally& tally) override;
    void Arrived(int unit, const SearchResult& found) override;
    void Finished(const station::UnitReport& report, const station::StationTally& tally) override;
    void Left(int unit) override;
    void Stopped(const std::string& why, const station::StationTally& tally) override;
    void Notice(const std::string& what) override;
    void OnStep(const std::string& step) override;

    StationWindowOptions m_options;
    wxPanel* m_pPanel = nullptr;
    wxStaticText* m_pWord = nullptr;
    wxStaticText* m_pDetail = nullptr;
    wxStaticText* m_pNote = nullptr;
    wxString m_texts[3]; // the word, the detail and the note, as said (unwrapped)
    wxString m_lastUnit; // the last unit's serial and outcome, for the STOPPED panel
    wxStaticText* m_pCounts = nullptr;
    wxStaticText* m_pStatus = nullptr;
    wxListCtrl* m_pUnits = nullptr;
    std::thread m_worker;
    std::atomic<bool> m_bStop {false};
    std::atomic<bool> m_bStopped {false};
    bool m_bCloseWhenStopped = false;
    bool m_bUnitOnHand = false;
    struct Station; // what the worker thread owns: the record, the link, the station
    std::unique_ptr<Station> m_pStation;
    static CStationWindow* s_pCurrent;
};

} // namespace pello
