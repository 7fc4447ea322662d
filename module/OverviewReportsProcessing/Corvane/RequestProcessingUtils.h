// Small helpers of the gate's request handlers: a guard that runs code when a
// scope ends, and copying attributes between nodes with their stored types.
// Thread safety: plain functions over the given nodes; a guard belongs to one thread.
#pragma once

#include <utility>

#include "common/NodeAccess/QxNodePtr.h"

namespace Corvane {

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

/// Copies every attribute of source onto target with its stored type, replacing attributes of the same
/// name; a null source copies nothing. Throws HRX when the node library refuses a read or write.
void CopyAttributes(const cvn::QxNodePtr& source, const cvn::QxNodePtr& target);

}  // namespace Corvane
