#include "protocol/ProductId.h"

#include <cstdlib>
#include <string>

namespace pello {

std::string ExtractProductId(const char* reply)
{
    const std::string text(reply);
    if (text.size() <= 3) {
        return {};
    }
    int n = std::atoi(text.substr(1, 2).c_str());
    if (n < 1 || n > 20) {
        n = 14;
    }
    return text.substr(3, static_cast<size_t>(n));
}

} // namespace pello
