#include "core/Repaint.h"

namespace pello {

void RunRepaint(CRepaintTarget& target)
{
    if (!target.IsMinimised()) {
        target.DefaultPaint();
        return;
    }
    target.BeginPaint();
    target.SendIconEraseBackground();
    const int cx = target.SystemMetric(kMetricIconWidth);
    const int cy = target.SystemMetric(kMetricIconHeight);
    int width = 0, height = 0;
    target.ClientSize(&width, &height);
    // Signed division truncates toward zero: (28 - 32 + 1) / 2 is -1.
    const int x = (width - cx + 1) / 2;
    const int y = (height - cy + 1) / 2;
    target.DrawIcon(x, y);
    target.EndPaint();
}

} // namespace pello
