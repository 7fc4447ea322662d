// One subscription at the configuration server.
#include "host/services/ConfigSubscription.h"

#include <vector>

#include "common/ErrorHandling/ErrorObjects.h"
#include "common/Helpers/PrimitiveText.h"
#include "common/Helpers/RequestProcessingUtils.h"
#include "common/Logging/Log.h"
#include "host/services/NodeModifyEnum.h"
#include "platform/os/Uuid.h"

namespace cvn::host {

CConfigSubscription::CConfigSubscription(ConfigPath path, uint64_t changesMask, uint64_t options, int32_t depth,
                                         ComPtr<IQxModifySink> sink, ActivateFunction activate)
    : m_path(std::move(path)), m_changesMask(changesMask), m_options(options), m_depth(depth),
      m_id(os::NewUuid()), m_sink(std::move(sink)), m_activate(std::move(activate))
{
    ThrowIf(!m_activate, E_INVALIDARG, "a subscription needs its server's activation");
}

HRESULT CConfigSubscription::Activate() noexcept
try {
    const std::thread::id self = std::this_thread::get_id();
    bool nested = false;
    {
        std::unique_lock lock(m_mutex);
        // A sink may activate its subscription from inside its own callback; otherwise the state waits
        // for a running callback, so that the sink hears one notification at a time.
        nested = m_inCallback && m_callbackThread == self;
        if (!nested) m_callbackDone.wait(lock, [&] { return !m_inCallback || m_ended; });
        ThrowIf(m_ended, E_ILLEGAL_METHOD_CALL, "the subscription has been unsubscribed");
        if (m_active) return S_OK;
        if (!nested) {
            m_inCallback = true;
            m_callbackThread = self;
        }
    }
    const ScopeExit leave([&] {
        if (nested) return;
        {
            std::lock_guard lock(m_mutex);
            m_inCallback = false;
        }
        m_callbackDone.notify_all();
    });
    // Notifications of later writes wait in Deliver until the state has been handed over.
    const QxNodePtr state = m_activate(*this);
    if (!state) return S_OK;
    const ComPtr<IQxNodeModifyEnum> modifications(CreateComponent<CNodeModifyEnum>(std::vector<QxNodePtr>{state}));
    const HRESULT hr = m_sink->OnTriggered(this, 1, modifications.Get());
    if (Failed(hr)) CV_LOG(Warn, "Configuration subscription sink " << m_id << " refused the initial state: " << HrToText(hr));
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

uint64_t CConfigSubscription::Activation()
{
    std::lock_guard lock(m_mutex);
    return m_active ? m_activation : 0;
}

void CConfigSubscription::MarkActive()
{
    std::lock_guard lock(m_mutex);
    m_active = true;
    ++m_activation;
}

void CConfigSubscription::Deliver(IQxNodeModifyEnum* modifications, uint64_t activation) noexcept
{
    {
        std::unique_lock lock(m_mutex);
        m_callbackDone.wait(lock, [&] { return !m_inCallback || m_ended; });
        if (!m_active || m_ended || m_activation != activation) return;
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
    // Wakes a Deliver or Activate waiting for a callback: they give up now.
    m_callbackDone.notify_all();
    // A sink that unsubscribes from inside its own callback must not wait for itself.
    m_callbackDone.wait(lock, [&] { return !m_inCallback || m_callbackThread == std::this_thread::get_id(); });
}

}  // namespace cvn::host
