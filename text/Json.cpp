#include "text/Json.h"

#include "text/Text.h"

namespace pello::text {

nlohmann::json Shown(nlohmann::json value)
{
    if (value.is_string()) {
        return Show(value.get_ref<const std::string&>());
    }
    if (value.is_array()) {
        for (nlohmann::json& item : value) item = Shown(std::move(item));
        return value;
    }
    if (value.is_object()) {
        nlohmann::json out = nlohmann::json::object();
        for (auto& [key, item] : value.items()) out[Show(key)] = Shown(std::move(item));
        return out;
    }
    return value;
}

} // namespace pello::text
