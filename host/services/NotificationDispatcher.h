// One thread that runs posted jobs in the order they were posted, so that
// subscribers are called outside the writers' locks and in write order.
// Thread safety: Post, Stop and IsDispatchThread may be called from any thread.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace cvn::host {

class NotificationDispatcher {
public:
    /// Starts the thread.
    NotificationDispatcher();
    /// Stop().
    ~NotificationDispatcher();
    NotificationDispatcher(const NotificationDispatcher&) = delete;
    NotificationDispatcher& operator=(const NotificationDispatcher&) = delete;

    /// Queues a job; after Stop the job is dropped. A job must not throw.
    void Post(std::function<void()> job);
    /// Lets the running job finish, drops the queued ones and ends the thread (joined, or detached
    /// when called from a job). Repeated calls do nothing.
    void Stop() noexcept;
    bool IsDispatchThread() const noexcept { return std::this_thread::get_id() == m_threadId; }
    /// Blocks until every job posted before the call has run; false at once from a job, or when the
    /// dispatcher stopped first.
    bool WaitIdle();

private:
    // Shared with the thread, so that a detached thread never touches a destroyed dispatcher.
    struct State {
        std::mutex mutex;
        std::condition_variable wake;
        std::condition_variable idle;
        std::deque<std::function<void()>> jobs;
        uint64_t posted = 0;
        uint64_t done = 0;
        bool stopping = false;
    };
    static void Run(std::shared_ptr<State> state);

    std::shared_ptr<State> m_state;
    std::thread m_thread;
    std::thread::id m_threadId;
};

}  // namespace cvn::host
