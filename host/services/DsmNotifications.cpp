// The host's source of change notifications. Each subscription counts the
// calls in flight, so that Unsubscribe can wait for them and no call starts
// once it has ended.
#include "host/services/DsmNotifications.h"

#include <algorithm>
#include <thread>

#include "common/ErrorHandling/ErrorObjects.h"
#include "common/Helpers/PrimitiveText.h"
#include "common/Logging/Log.h"

namespace cvn::host {

struct CDsmNotifications::Entry {
    ComPtr<IDsmChangesSink> sink;
    bool ended = false;
    int callsInFlight = 0;
    std::vector<std::thread::id> callingThreads;
};

HRESULT CDsmNotifications::NotifyModified(IQxNode* change) noexcept
{
    return Notify(Kind::Modified, change, "OnModify");
}

HRESULT CDsmNotifications::NotifyAdded(IQxNode* change) noexcept
{
    return Notify(Kind::Added, change, "OnAdded");
}

HRESULT CDsmNotifications::NotifyRemoved(IQxNode* change) noexcept
{
    return Notify(Kind::Removed, change, "OnRemoved");
}

HRESULT CDsmNotifications::Notify(Kind kind, IQxNode* change, const char* name) noexcept
try {
    if (!change) return E_POINTER;
    std::vector<std::shared_ptr<Entry>> snapshot;
    {
        std::lock_guard lock(m_lock);
        snapshot = m_entries;
    }
    bool anyFailed = false;
    const auto self = std::this_thread::get_id();
    for (const std::shared_ptr<Entry>& entry : snapshot) {
        {
            std::lock_guard lock(m_lock);
            if (entry->ended) continue;
            ++entry->callsInFlight;
            entry->callingThreads.push_back(self);
        }
        IDsmChangesSink* sink = entry->sink.Get();
        const HRESULT hr = kind == Kind::Modified ? sink->OnModify(change)
                           : kind == Kind::Added  ? sink->OnAdded(change)
                                                  : sink->OnRemoved(change);
        {
            std::lock_guard lock(m_lock);
            --entry->callsInFlight;
            entry->callingThreads.erase(std::find(entry->callingThreads.begin(), entry->callingThreads.end(), self));
        }
        m_callDone.notify_all();
        if (Failed(hr)) {
            anyFailed = true;
            CV_LOG(Warn, "Change notification sink " << static_cast<const void*>(sink) << " failed " << name
                                                     << " with " << HrToText(hr));
        }
    }
    return anyFailed ? S_FALSE : S_OK;
}
CV_CATCH_RETURN()

HRESULT CDsmNotifications::GetSubscriberCount(uint32_t* count) noexcept
{
    if (!count) return E_POINTER;
    std::lock_guard lock(m_lock);
    *count = static_cast<uint32_t>(m_entries.size());
    return S_OK;
}

HRESULT CDsmNotifications::UnsubscribeAll() noexcept
try {
    std::vector<std::shared_ptr<Entry>> ended;
    {
        std::lock_guard lock(m_lock);
        ended.swap(m_entries);
    }
    for (const std::shared_ptr<Entry>& entry : ended) End(entry);
    return S_OK;
}
CV_CATCH_RETURN()

HRESULT CDsmNotifications::Subscribe(IDsmChangesSink* sink) noexcept
try {
    if (!sink) return E_POINTER;
    auto entry = std::make_shared<Entry>();
    entry->sink = ComPtr<IDsmChangesSink>(sink);
    std::lock_guard lock(m_lock);
    const bool known = std::any_of(m_entries.begin(), m_entries.end(),
                                   [&](const std::shared_ptr<Entry>& e) { return e->sink.Get() == sink; });
    if (!known) m_entries.push_back(std::move(entry));
    return S_OK;
}
CV_CATCH_RETURN()

HRESULT CDsmNotifications::Unsubscribe(IDsmChangesSink* sink) noexcept
try {
    if (!sink) return E_POINTER;
    std::shared_ptr<Entry> ended;
    {
        std::lock_guard lock(m_lock);
        const auto found = std::find_if(m_entries.begin(), m_entries.end(),
                                        [&](const std::shared_ptr<Entry>& e) { return e->sink.Get() == sink; });
        if (found != m_entries.end()) {
            ended = std::move(*found);
            m_entries.erase(found);
        }
    }
    ThrowIf(!ended, kHrNotFound, "the change sink is not subscribed");
    End(ended);
    return S_OK;
}
CV_CATCH_RETURN()

void CDsmNotifications::End(const std::shared_ptr<Entry>& entry)
{
    const auto self = std::this_thread::get_id();
    std::unique_lock lock(m_lock);
    entry->ended = true;
    // Calls made by this very thread (a sink unsubscribing itself) cannot be waited for.
    m_callDone.wait(lock, [&] {
        const auto own = std::count(entry->callingThreads.begin(), entry->callingThreads.end(), self);
        return entry->callsInFlight == own;
    });
}

}  // namespace cvn::host
