// One thread that runs posted jobs in order.
#include "host/services/NotificationDispatcher.h"

namespace cvn::host {

NotificationDispatcher::NotificationDispatcher() : m_state(std::make_shared<State>())
{
    // The id is written under the lock the thread takes first, so every job sees it.
    std::lock_guard lock(m_state->mutex);
    m_thread = std::thread(&NotificationDispatcher::Run, m_state);
    m_threadId = m_thread.get_id();
}

NotificationDispatcher::~NotificationDispatcher() { Stop(); }

void NotificationDispatcher::Post(std::function<void()> job)
{
    {
        std::lock_guard lock(m_state->mutex);
        if (m_state->stopping) return;
        m_state->jobs.push_back(std::move(job));
        ++m_state->posted;
    }
    m_state->wake.notify_one();
}

void NotificationDispatcher::Stop() noexcept
{
    std::deque<std::function<void()>> dropped;
    {
        std::lock_guard lock(m_state->mutex);
        m_state->stopping = true;
        dropped.swap(m_state->jobs);
    }
    m_state->wake.notify_all();
    m_state->idle.notify_all();
    if (!m_thread.joinable()) return;
    // A job that stops its own dispatcher cannot wait for itself.
    if (IsDispatchThread())
        m_thread.detach();
    else
        m_thread.join();
}

bool NotificationDispatcher::WaitIdle()
{
    // A job waiting for the queue would wait for itself.
    if (IsDispatchThread()) return false;
    std::unique_lock lock(m_state->mutex);
    const uint64_t target = m_state->posted;
    m_state->idle.wait(lock, [&] { return m_state->done >= target || m_state->stopping; });
    return m_state->done >= target;
}

void NotificationDispatcher::Run(std::shared_ptr<State> state)
{
    std::unique_lock lock(state->mutex);
    while (true) {
        state->wake.wait(lock, [&] { return state->stopping || !state->jobs.empty(); });
        if (state->stopping) return;
        std::function<void()> job = std::move(state->jobs.front());
        state->jobs.pop_front();
        lock.unlock();
        job();
        job = nullptr;
        lock.lock();
        ++state->done;
        state->idle.notify_all();
    }
}

}  // namespace cvn::host
