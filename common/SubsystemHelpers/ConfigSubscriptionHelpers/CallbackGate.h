// CallbackGate: lets callbacks in until closed; closing waits for the callbacks
// of other threads to leave, so that none runs once Close has returned. A
// thread may close the gate from inside its own callback without waiting on itself.
// Thread safety: every method may be called from any thread at once.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace CfgSubscriptionsHelpers {

class CallbackGate {
public:
    /// False when closed; on true the caller must call Leave after its callback.
    bool Enter();
    void Leave();
    /// Closes for good and waits until no other thread is inside.
    void Close();
    bool IsOpen();

private:
    std::mutex m_lock;
    std::condition_variable m_idle;
    bool m_open = true;
    int m_inside = 0;
    std::unordered_map<std::thread::id, int> m_insideByThread;
};

/// Leaves the gate at the end of a scope that entered it.
class CallbackGateEntry {
public:
    explicit CallbackGateEntry(CallbackGate& gate) : m_gate(gate), m_entered(gate.Enter()) {}
    ~CallbackGateEntry()
    {
        if (m_entered) m_gate.Leave();
    }
    CallbackGateEntry(const CallbackGateEntry&) = delete;
    CallbackGateEntry& operator=(const CallbackGateEntry&) = delete;
    explicit operator bool() const noexcept { return m_entered; }

private:
    CallbackGate& m_gate;
    bool m_entered;
};

}  // namespace CfgSubscriptionsHelpers
