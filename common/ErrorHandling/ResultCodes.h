// The product's own result codes, shared by the module and the reporting services;
// their texts are in the message table data/Faultbook.dll.txt.
// Thread safety: constants only.
#pragma once

#include "corvane/Platform.h"

namespace cvn {

inline constexpr HRESULT kHrReportingDisabled = static_cast<HRESULT>(0x80040C03);
inline constexpr HRESULT kHrDatabaseUnavailable = static_cast<HRESULT>(0x80040C0A);
inline constexpr HRESULT kHrDatabaseBusy = static_cast<HRESULT>(0x80040C0B);
inline constexpr HRESULT kHrQueryTimeLimit = static_cast<HRESULT>(0x80041910);
inline constexpr HRESULT kHrQueryRowLimit = static_cast<HRESULT>(0x80041911);

}  // namespace cvn
