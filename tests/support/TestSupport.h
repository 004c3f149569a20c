#pragma once
// Small helpers shared by the workflow-level tests.

#include "PortNames.h"
#include "Workflow.h"

#include <string>
#include <vector>

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

// Points COM0..COM9 at paths that do not exist, so that a search never
// reaches the machine's own serial ports; tests then alias the ports they use.
inline void AliasAllPortsNowhere(CPortResolver& resolver, int from = 0)
{
    for (int n = from; n < kComPortCount; ++n) {
        resolver.SetAlias(n, "/nonexistent/tty" + std::to_string(n));
    }
}
