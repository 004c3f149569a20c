#include "link/HidDescriptor.h"

#include <map>
#include <vector>

namespace pello {

namespace {

struct GlobalState {
    uint32_t reportSize = 0;  // bits per field
    uint32_t reportCount = 0; // fields
    uint32_t reportId = 0;
};

enum : uint8_t {
    kTypeMain = 0,
    kTypeGlobal = 1,
    kTagInput = 0x8,
    kTagOutput = 0x9,
    kTagReportSize = 0x7,
    kTagReportId = 0x8,
    kTagReportCount = 0x9,
    kTagPush = 0xA,
    kTagPop = 0xB,
    kLongItemPrefix = 0xFE,
};

uint32_t ItemValue(const uint8_t* p, size_t size)
{
    uint32_t v = 0;
    for (size_t i = 0; i < size; ++i) {
        v |= static_cast<uint32_t>(p[i]) << (8 * i);
    }
    return v;
}

uint16_t LongestReport(const std::map<uint32_t, uint64_t>& bitsById)
{
    uint64_t longest = 0;
    for (const auto& [id, bits] : bitsById) {
        longest = bits > longest ? bits : longest;
    }
    if (bitsById.empty()) {
        return 0;
    }
    const uint64_t bytes = (longest + 7) / 8 + 1;
    return bytes > 0xFFFF ? 0xFFFF : static_cast<uint16_t>(bytes);
}

} // namespace

std::optional<HidReportLengths> ParseReportDescriptor(const uint8_t* data, size_t length)
{
    GlobalState g;
    std::vector<GlobalState> stack;
    std::map<uint32_t, uint64_t> inputBits, outputBits;
    HidReportLengths out;
    size_t i = 0;
    while (i < length) {
        const uint8_t prefix = data[i];
        if (prefix == kLongItemPrefix) {
            // Long item: size byte, tag byte, data. No long items are defined.
            if (i + 2 >= length) {
                return std::nullopt;
            }
            i += 3 + data[i + 1];
            if (i > length) {
                return std::nullopt;
            }
            continue;
        }
        const size_t size = (prefix & 3) == 3 ? 4 : (prefix & 3);
        if (i + 1 + size > length) {
            return std::nullopt;
        }
        const uint8_t type = (prefix >> 2) & 3;
        const uint8_t tag = prefix >> 4;
        const uint32_t value = ItemValue(data + i + 1, size);
        i += 1 + size;
        if (type == kTypeGlobal) {
            switch (tag) {
            case kTagReportSize: g.reportSize = value; break;
            case kTagReportCount: g.reportCount = value; break;
            case kTagReportId:
                if (value == 0) return std::nullopt; // id 0 is reserved
                g.reportId = value;
                out.numbered = true;
                break;
            case kTagPush: stack.push_back(g); break;
            case kTagPop:
                if (stack.empty()) return std::nullopt;
                g = stack.back();
                stack.pop_back();
                break;
            default: break;
            }
        } else if (type == kTypeMain && (tag == kTagInput || tag == kTagOutput)) {
            auto& bits = tag == kTagInput ? inputBits : outputBits;
            bits[g.reportId] += static_cast<uint64_t>(g.reportSize) * g.reportCount;
        }
    }
    out.input = LongestReport(inputBits);
    out.output = LongestReport(outputBits);
    return out;
}

} // namespace pello
