// Class identifiers under which the host creates the module's components.
// Thread safety: constants only.
#pragma once

#include "corvane/Platform.h"

namespace Corvane {

inline constexpr GUID CLSID_CorvaneGate = cvn::MakeGuid(0x87074C74, 0x6D4D, 0x4288, 0x92E8, 0xB954789A88BD);
inline constexpr GUID CLSID_DataRetrieverFactory = cvn::MakeGuid(0xE6A80730, 0x806E, 0x431E, 0xBBF2, 0x2A798AF505EE);
inline constexpr GUID CLSID_MetaInfoProvider = cvn::MakeGuid(0x220E738F, 0x064E, 0x4BB2, 0x9F1D, 0xCA7F3E69ECC9);

}  // namespace Corvane
