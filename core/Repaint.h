#pragma once
// What the main dialog does on a paint request, apart from the toolkit: while
// minimised it erases the icon background and draws the icon centred.

namespace pello {

// The system metrics of the icon size (SM_CXICON and SM_CYICON).
constexpr int kMetricIconWidth = 11;
constexpr int kMetricIconHeight = 12;

class CRepaintTarget {
public:
    virtual ~CRepaintTarget() = default;
    virtual bool IsMinimised() = 0;
    virtual void DefaultPaint() = 0;
    virtual void BeginPaint() = 0;
    // Handled before it returns, with the paint context.
    virtual void SendIconEraseBackground() = 0;
    virtual int SystemMetric(int index) = 0;
    virtual void ClientSize(int* width, int* height) = 0;
    virtual void DrawIcon(int x, int y) = 0;
    virtual void EndPaint() = 0;
};

void RunRepaint(CRepaintTarget& target);

} // namespace pello
