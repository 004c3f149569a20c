// ReportPayloadLength, and the collection of a reply from input reports that
// a device sends as the input dictates.
#include "link/posix/HidIo.h"
#include "link/HidLink.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <cstring>
#include <vector>

using namespace pello;

namespace {

class CFuzzClock final : public CClock {
public:
    uint32_t TickCount() override { return now; }
    int Poll(pollfd*, nfds_t, int timeoutMs) override
    {
        now += static_cast<uint32_t>(timeoutMs);
        return 0;
    }
    uint32_t now = 0xFFFFF000u;
};

// A device whose reports (or silences, or disappearance) come from the input.
class CFuzzIo final : public CHidNodeIo {
public:
    explicit CFuzzIo(FuzzedDataProvider& fdp) : m_fdp(fdp) {}
    int Open(const std::string&) override { return 3; }
    bool WriteReport(int, const uint8_t*, size_t) override { return true; }
    int ReadReport(int, uint8_t* buffer, size_t capacity, int timeoutMs) override
    {
        const int kind = m_fdp.ConsumeIntegralInRange(0, 9);
        if (kind == 0 || m_fdp.remaining_bytes() == 0) {
            m_clock.Poll(nullptr, 0, timeoutMs);
            return 0;
        }
        if (kind == 1) return -1;
        const std::vector<uint8_t> report = m_fdp.ConsumeBytes<uint8_t>(m_fdp.ConsumeIntegralInRange<size_t>(1, capacity));
        if (report.empty()) {
            return 0;
        }
        std::memcpy(buffer, report.data(), report.size());
        return static_cast<int>(report.size());
    }
    void Close(int) override {}
    CClock& Clock() override { return m_clock; }

private:
    FuzzedDataProvider& m_fdp;
    CFuzzClock m_clock;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<uint8_t> payload(255, 0);
    std::memcpy(payload.data(), data, size < 255 ? size : 255);
    const int n = ReportPayloadLength(payload.data());
    if (n < 0 || n > 255) std::abort();

    FuzzedDataProvider fdp(data, size);
    CFuzzIo io(fdp);
    CHidLink link(&io);
    link.m_strDevicePath = "/dev/hidraw-fuzz";
    link.m_caps.InputReportByteLength = fdp.ConsumeIntegralInRange<uint16_t>(2, 255);
    link.m_caps.OutputReportByteLength = 9;
    link.m_caps.bNumberedReports = fdp.ConsumeBool();
    uint8_t reply[256];
    size_t length = 0;
    if (!link.ReadReply(reply, &length) || length > 255 || reply[255] != 0) std::abort();
    return 0;
}
