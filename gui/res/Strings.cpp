#include "gui/res/Strings.h"

#include "core/Resource.h"

namespace pello {

std::string LoadResString(unsigned id)
{
    switch (id) {
    case IDS_ABOUT_ITEM: return "关于 Pellomatic(&A)...";
    default: return {};
    }
}

} // namespace pello
