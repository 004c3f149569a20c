// The simulator's frame parser and fault rules.
#include "sim/DeviceModel.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdlib>

using namespace pello;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider fdp(data, size);
    CDeviceModel model;
    model.m_bRecordFrames = false;
    const std::string rule = fdp.ConsumeRandomLengthString(64);
    // Scripted answers are whatever the fault list says; the device's own are whole replies.
    const bool wholeReplies = !model.AddFaults(rule);
    while (fdp.remaining_bytes() > 0) {
        const auto chunk = fdp.ConsumeBytes<uint8_t>(fdp.ConsumeIntegralInRange<size_t>(1, 80));
        const auto replies = model.Feed(chunk.data(), chunk.size());
        if (replies.size() > static_cast<size_t>(std::count(chunk.begin(), chunk.end(), '\r'))) std::abort();
        for (const auto& reply : replies) {
            const std::string& r = reply.bytes;
            if (wholeReplies && (r.size() < 4 || r.front() != '(' || r.back() != '\r')) std::abort();
        }
        if (model.m_sid.size() != 22 || model.m_pabc.size() != 12) std::abort();
    }
    return 0;
}
