// One subscription at the configuration server: the followed path, the
// changes it wants, its sink, and the gate that keeps callbacks from running
// once it has ended.
// Thread safety: every method may be called from any thread; End waits for a
// running callback unless it is called from that callback. One callback runs at
// a time: a write's notification waits for the state an activation delivers.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

#include "common/Components/ComponentObject.h"
#include "corvane/ComPtr.h"
#include "corvane/NodeNotifications.h"
#include "host/services/ConfigPath.h"

namespace cvn::host {

/// Bits of "SubscribeOptions" that this server reads; the others are accepted and ignored.
namespace SubscribeOptionBits {
/// Activation hands the sink the followed node as it is now (when it exists and its content matches the
/// changes mask, as a write creating it would), as one synchronous notification before Activate returns.
inline constexpr uint64_t kInitialState = 0x1;
}  // namespace SubscribeOptionBits

class CConfigSubscription : public Implements<IQxModifySubscription> {
public:
    /// Given by the server: called by Activate with the store's read lock taken, it calls MarkActive and
    /// returns the notification node of the followed node's state to deliver (null: nothing to deliver).
    using ActivateFunction = std::function<QxNodePtr(CConfigSubscription&)>;

    CConfigSubscription(ConfigPath path, uint64_t changesMask, uint64_t options, int32_t depth,
                        ComPtr<IQxModifySink> sink, ActivateFunction activate);

    /// Notifications start with the next write; with SubscribeOptionBits::kInitialState the sink first
    /// hears the current state (its failure is logged, the subscription stays active). Does nothing when
    /// active; E_ILLEGAL_METHOD_CALL once unsubscribed.
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
    /// 0 when inactive, else the number of the current activation: a notification queued under one
    /// activation is not delivered under another.
    uint64_t Activation();
    /// For the server's ActivateFunction only.
    void MarkActive();

    /// Calls the sink with the modifications unless the subscription is inactive, ended, or was
    /// activated again since activation.
    void Deliver(IQxNodeModifyEnum* modifications, uint64_t activation) noexcept;
    /// No callback starts after this returns, and none is still running (except the caller's own).
    void End();

private:
    const ConfigPath m_path;
    const uint64_t m_changesMask;
    const uint64_t m_options;
    const int32_t m_depth;
    const GUID m_id;
    const ComPtr<IQxModifySink> m_sink;
    const ActivateFunction m_activate;

    std::mutex m_mutex;
    std::condition_variable m_callbackDone;
    bool m_active = false;
    bool m_ended = false;
    uint64_t m_activation = 0;
    bool m_inCallback = false;
    std::thread::id m_callbackThread;
};

}  // namespace cvn::host
