// The Product ID cut out of a "QSID" reply.
#include "protocol/ProductId.h"

#include <cstdlib>
#include <string>

using namespace pello;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::string shown(text.c_str()); // the reply runs to its first NUL
    const std::string id = ExtractProductId(text.c_str());
    if (id.size() > 20) std::abort();
    if (shown.size() > 3 && shown.compare(3, id.size(), id) != 0) std::abort();
    if (shown.size() <= 3 && !id.empty()) std::abort();
    return 0;
}
