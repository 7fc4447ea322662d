// A guard that runs cleanup when its scope ends, unless dismissed once the work succeeded.
// Thread safety: a guard belongs to the thread that made it.
#pragma once

#include <utility>

namespace cvn {

/// Runs the function when the scope ends unless dismissed; the function must not throw.
template <class Fn>
class ScopeExit {
public:
    explicit ScopeExit(Fn fn) : m_fn(std::move(fn)) {}
    ~ScopeExit()
    {
        if (m_armed) m_fn();
    }
    ScopeExit(const ScopeExit&) = delete;
    ScopeExit& operator=(const ScopeExit&) = delete;
    void Dismiss() noexcept { m_armed = false; }

private:
    Fn m_fn;
    bool m_armed = true;
};

}  // namespace cvn
