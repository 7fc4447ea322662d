// One subscription at the configuration server.
#include "host/services/ConfigSubscription.h"

#include "common/ErrorHandling/ErrorObjects.h"
#include "common/Helpers/PrimitiveText.h"
#include "common/Logging/Log.h"
#include "platform/os/Uuid.h"

namespace cvn::host {

CConfigSubscription::CConfigSubscription(ConfigPath path, uint64_t changesMask, uint64_t options, int32_t depth,
                                         ComPtr<IQxModifySink> sink)
    : m_path(std::move(path)), m_changesMask(changesMask), m_options(options), m_depth(depth),
      m_id(os::NewUuid()), m_sink(std::move(sink))
{
}

HRESULT CConfigSubscription::Activate() noexcept
try {
    std::lock_guard lock(m_mutex);
    ThrowIf(m_ended, E_ILLEGAL_METHOD_CALL, "the subscription has been unsubscribed");
    m_active = true;
    return S_OK;
}
CV_CATCH_RETURN()

HRESULT CConfigSubscription::Deactivate() noexcept
{
    std::lock_guard lock(m_mutex);
    m_active = false;
    return S_OK;
}

HRESULT CConfigSubscription::GetId(GUID* id) noexcept
{
    if (!id) return E_POINTER;
    *id = m_id;
    return S_OK;
}

bool CConfigSubscription::IsActive()
{
    std::lock_guard lock(m_mutex);
    return m_active;
}

void CConfigSubscription::Deliver(IQxNodeModifyEnum* modifications) noexcept
{
    {
        std::lock_guard lock(m_mutex);
        if (!m_active || m_ended) return;
        m_inCallback = true;
        m_callbackThread = std::this_thread::get_id();
    }
    const HRESULT hr = m_sink->OnTriggered(this, 0, modifications);
    if (Failed(hr)) CV_LOG(Warn, "Configuration subscription sink " << m_id << " returned " << HrToText(hr));
    {
        std::lock_guard lock(m_mutex);
        m_inCallback = false;
    }
    m_callbackDone.notify_all();
}

void CConfigSubscription::End()
{
    std::unique_lock lock(m_mutex);
    m_ended = true;
    m_active = false;
    // A sink that unsubscribes from inside its own callback must not wait for itself.
    m_callbackDone.wait(lock, [&] { return !m_inCallback || m_callbackThread == std::this_thread::get_id(); });
}

}  // namespace cvn::host
