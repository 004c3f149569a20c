#include "link/HidReport.h"

namespace pello {

uint32_t g_dwHidReadTimeout = 0;
uint32_t g_dwHidReadStart = 0;

int ReportPayloadLength(const uint8_t* payload, size_t size)
{
    size_t zero = 0;
    while (zero < size && payload[zero] != 0) {
        if (payload[zero] == 0x0D) {
            return static_cast<int>(zero + 1);
        }
        ++zero;
    }
    if (zero >= size) {
        return static_cast<int>(size);
    }
    // One zero byte stays in the reply when a CR follows it in the same run.
    size_t lastCr = 0;
    bool seenCr = false;
    for (size_t i = zero + 1; i < size && payload[i] != 0; ++i) {
        if (payload[i] == 0x0D) {
            lastCr = i;
            seenCr = true;
        }
    }
    return static_cast<int>(seenCr ? lastCr + 1 : zero);
}

} // namespace pello
