#pragma once
// One rig for every test that drives Search and Apply (the workflow alone or
// the dialog): the serial link on a fake clock, COM0..COM9 resolving to
// nowhere until a test puts a device behind one, USB through the fake hidraw
// seam, "SN.txt" in a scratch folder, message boxes recorded.

#include "core/Workflow.h"
#include "tests/support/FakeHid.h"
#include "tests/support/PtyDevice.h"

#include <memory>
#include <string>
#include <vector>

namespace pello {

// Records every message box the workflow shows.
class CRecordedMessages final : public CMessageSink {
public:
    struct Box {
        std::string text, caption;
    };
    void ShowMessage(const std::string& text, const std::string& caption) override { boxes.push_back({text, caption}); }
    const Box& Last() const { return boxes.back(); }
    std::vector<Box> boxes;
};

class CWorkflowRig {
public:
    explicit CWorkflowRig(CSnToolWorkflow& flow);
    ~CWorkflowRig();
    CWorkflowRig(const CWorkflowRig&) = delete;
    CWorkflowRig& operator=(const CWorkflowRig&) = delete;

    // A device model on a pty, answering as COMn.
    CPtyDevice& DeviceOn(int n);
    // The USB device (vendor 0x0665, product 0x5161) as hidraw0.
    FakeHidNode& UsbDevice();
    // Puts `path` (or nothing) behind COMn.
    void Alias(int n, const std::string& path);
    void WriteSn(const std::string& content);
    void RemoveSn();
    CFakeClock& Clock() { return m_hid.m_clock; }
    // Runs `fn` and returns the fake time it took.
    template <class Fn> uint32_t Timed(Fn fn)
    {
        const uint32_t start = Clock().m_now;
        fn();
        return Clock().m_now - start;
    }

    CFakeHid m_hid;
    const std::string m_dir;
    const std::string m_snPath;

private:
    CSnToolWorkflow& m_flow;
    std::vector<std::unique_ptr<CPtyDevice>> m_devices;
};

} // namespace pello

#include <gtest/gtest.h>

namespace pello {

// The workflow alone, on the rig.
class WorkflowFixture : public ::testing::Test {
protected:
    SearchResult SearchCom() { return m_flow.Search(Link::Rs232); }
    SearchResult SearchUsb() { return m_flow.Search(Link::Usb); }
    const CRecordedMessages::Box& LastBox() const { return m_msg.Last(); }

    CRecordedMessages m_msg;
    CSnToolWorkflow m_flow {&m_msg};
    CWorkflowRig m_rig {m_flow};
};

} // namespace pello
