// Callback gate counting who is inside, per thread.
#include "common/SubsystemHelpers/ConfigSubscriptionHelpers/CallbackGate.h"

namespace CfgSubscriptionsHelpers {

bool CallbackGate::Enter()
{
    std::lock_guard guard(m_lock);
    if (!m_open) return false;
    ++m_inside;
    ++m_insideByThread[std::this_thread::get_id()];
    return true;
}

void CallbackGate::Leave()
{
    {
        std::lock_guard guard(m_lock);
        --m_inside;
        auto mine = m_insideByThread.find(std::this_thread::get_id());
        if (mine != m_insideByThread.end() && --mine->second == 0) m_insideByThread.erase(mine);
    }
    m_idle.notify_all();
}

void CallbackGate::Close()
{
    std::unique_lock held(m_lock);
    m_open = false;
    m_idle.wait(held, [this] {
        auto mine = m_insideByThread.find(std::this_thread::get_id());
        return m_inside == (mine == m_insideByThread.end() ? 0 : mine->second);
    });
}

bool CallbackGate::IsOpen()
{
    std::lock_guard guard(m_lock);
    return m_open;
}

}  // namespace CfgSubscriptionsHelpers
