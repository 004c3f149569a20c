#include "Strings.h"

#include "Resource.h"

std::string LoadResString(unsigned id)
{
    switch (id) {
    case IDS_ABOUT_ITEM: return "关于 Pellomatic(&A)...";
    default: return {};
    }
}
