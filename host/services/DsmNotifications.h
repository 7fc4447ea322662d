// The host's source of change notifications of the audited data: sinks
// subscribe, the host publishes, every subscribed sink hears each change.
// Thread safety: every method may be called from any thread. Sinks are called
// outside the lock; once Unsubscribe returns, the sink is not called again.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include "common/Components/ComponentObject.h"
#include "corvane/ServiceInterfaces.h"

namespace cvn::host {

class CDsmNotifications : public Implements<IDsmNotifications> {
public:
    /// Each Notify* calls every subscribed sink; S_FALSE when one of them failed (logged at WARN),
    /// E_POINTER for a null change.
    HRESULT NotifyModified(IQxNode* change) noexcept override;
    HRESULT NotifyAdded(IQxNode* change) noexcept override;
    HRESULT NotifyRemoved(IQxNode* change) noexcept override;
    /// E_POINTER for null.
    HRESULT GetSubscriberCount(uint32_t* count) noexcept override;
    /// Ends every subscription, waiting for running calls as Unsubscribe does.
    HRESULT UnsubscribeAll() noexcept override;
    /// A sink subscribed twice is notified once; E_POINTER for null.
    HRESULT Subscribe(IDsmChangesSink* sink) noexcept override;
    /// Waits until no call to the sink runs (except from inside that sink); 0x80070490 when it is
    /// not subscribed.
    HRESULT Unsubscribe(IDsmChangesSink* sink) noexcept override;

private:
    struct Entry;
    enum class Kind { Modified, Added, Removed };

    HRESULT Notify(Kind kind, IQxNode* change, const char* name) noexcept;
    void End(const std::shared_ptr<Entry>& entry);

    std::mutex m_lock;
    std::condition_variable m_callDone;
    std::vector<std::shared_ptr<Entry>> m_entries;
};

}  // namespace cvn::host
