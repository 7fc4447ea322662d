// One subscription at the configuration server: the followed path, the
// changes it wants, its sink, and the gate that keeps callbacks from running
// once it has ended.
// Thread safety: every method may be called from any thread; End waits for a
// running callback unless it is called from that callback.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>

#include "common/Components/ComponentObject.h"
#include "corvane/ComPtr.h"
#include "corvane/NodeNotifications.h"
#include "host/services/ConfigPath.h"

namespace cvn::host {

class CConfigSubscription : public Implements<IQxModifySubscription> {
public:
    CConfigSubscription(ConfigPath path, uint64_t changesMask, uint64_t options, int32_t depth,
                        ComPtr<IQxModifySink> sink);

    /// Notifications start with the next write; E_ILLEGAL_METHOD_CALL once unsubscribed.
    HRESULT Activate() noexcept override;
    /// Writes after this are not notified until Activate; queued ones are dropped.
    HRESULT Deactivate() noexcept override;
    /// The subscription's random id; E_POINTER for null.
    HRESULT GetId(GUID* id) noexcept override;

    const ConfigPath& Path() const noexcept { return m_path; }
    uint64_t ChangesMask() const noexcept { return m_changesMask; }
    uint64_t Options() const noexcept { return m_options; }
    int32_t Depth() const noexcept { return m_depth; }
    const GUID& Id() const noexcept { return m_id; }
    bool IsActive();

    /// Calls the sink with the modifications unless the subscription is inactive or ended.
    void Deliver(IQxNodeModifyEnum* modifications) noexcept;
    /// No callback starts after this returns, and none is still running (except the caller's own).
    void End();

private:
    const ConfigPath m_path;
    const uint64_t m_changesMask;
    const uint64_t m_options;
    const int32_t m_depth;
    const GUID m_id;
    const ComPtr<IQxModifySink> m_sink;

    std::mutex m_mutex;
    std::condition_variable m_callbackDone;
    bool m_active = false;
    bool m_ended = false;
    bool m_inCallback = false;
    std::thread::id m_callbackThread;
};

}  // namespace cvn::host
