#include "gui/Sounds.h"

#include <canberra.h>

namespace pello {

struct CSounds::Impl {
    ca_context* context = nullptr;
    void Play(const char* event, const char* description)
    {
        if (context != nullptr) {
            ca_context_play(context, 0, CA_PROP_EVENT_ID, event, CA_PROP_EVENT_DESCRIPTION, description, nullptr);
        }
    }
};

CSounds::CSounds() : m_pImpl(std::make_unique<Impl>())
{
    if (ca_context_create(&m_pImpl->context) != CA_SUCCESS) {
        m_pImpl->context = nullptr;
    }
}

CSounds::~CSounds()
{
    if (m_pImpl->context != nullptr) ca_context_destroy(m_pImpl->context);
}

void CSounds::Pass() { m_pImpl->Play("complete", "unit programmed"); }

void CSounds::Fail() { m_pImpl->Play("dialog-error", "unit failed"); }

} // namespace pello
