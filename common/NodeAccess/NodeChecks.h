// A null QxNodePtr used as a node fails with E_POINTER before reaching the library.
// Thread safety: stateless.
#pragma once

#include "common/ErrorHandling/HRX.h"
#include "corvane/Nodestore.h"

namespace cvn::detail {

/// The handle, or HRX E_POINTER when it is null.
inline IQxNode* Checked(IQxNode* node)
{
    if (!node) ThrowHr(E_POINTER);
    return node;
}

}  // namespace cvn::detail
