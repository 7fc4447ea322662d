// Helpers of request handlers, host and module alike: a guard that runs cleanup when its scope
// ends unless dismissed once the work succeeded, and copying attributes between nodes.
// Thread safety: a guard belongs to the thread that made it; CopyAttributes touches only its nodes.
#pragma once

#include <utility>

#include "common/NodeAccess/QxNodePtr.h"

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

/// Copies every attribute of source onto target with its stored type and bytes, replacing attributes of
/// the same name; a null source copies nothing. Throws HRX when the library refuses a read or write.
void CopyAttributes(const QxNodePtr& source, const QxNodePtr& target);

}  // namespace cvn
