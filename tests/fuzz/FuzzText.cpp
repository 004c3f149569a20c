// The text rule and ZPL labels: whatever bytes a name holds, what leaves is
// valid UTF-8 without controls that is unchanged when shown again, and a ZPL
// label filled with them has exactly its template's commands.
#include "label/Label.h"
#include "tests/support/ZplReader.h"
#include "text/Text.h"

#include <nlohmann/json.hpp>

#include <cstdlib>
#include <string>

using namespace pello;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const std::string shown = text::Show(bytes);
    try {
        (void)nlohmann::json(shown).dump(); // throws on anything that is not UTF-8
    } catch (const nlohmann::json::exception&) {
        std::abort();
    }
    for (const char c : shown) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) std::abort();
    }
    if (text::Show(shown) != shown || text::IsPlain(bytes) != (shown == bytes)) std::abort();

    static const std::string zpl = "^XA^FO1,1^FDA_{batch}^FS^FO1,2^FH\\^FD{operator}^FS^XZ";
    static const std::vector<std::string> commands = ReadZplLabel(zpl).commands;
    const label::FilledLabel label = label::FillLabel(zpl, {"", "", "", bytes, "", "", bytes});
    if (!label.problem.empty() || ReadZplLabel(label.bytes).commands != commands) std::abort();
    return 0;
}
