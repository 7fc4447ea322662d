// The texts of the reporting services' result codes, which the
// message table data/Faultbook.dll.txt holds word for word; a StorageError
// turned into the HRX the services report.
// Thread safety: constants and pure functions (the HRX helpers touch only the
// calling thread's error object).
#pragma once

#include <string_view>
#include <vector>

#include "common/ErrorHandling/HRX.h"
#include "common/ErrorHandling/ResultCodes.h"
#include "host/reporting/storage/Storage.h"

namespace cvn::reporting {

struct ReportingMessage {
    HRESULT code;
    const char* text;  ///< as in the message table, final dot included
};

/// The codes above with their message table texts.
const std::vector<ReportingMessage>& ReportingMessages();

/// An HRX whose description is the code's text (without its final dot), ": " and the detail; the
/// thread's error object is left holding it. For a code outside the table the detail stands alone.
HRX MakeReportingError(HRESULT code, std::string_view detail);
[[noreturn]] void ThrowReportingError(HRESULT code, std::string_view detail);

/// The code of a storage failure: Unavailable 0x80040C0A, Busy 0x80040C0B, Interrupted E_ABORT,
/// Invalid 0x8007000D, Other E_FAIL.
HRESULT CodeOfStorageError(StorageErrorKind kind) noexcept;
/// MakeReportingError with that code and the storage message as the detail.
HRX MakeStorageHrx(const StorageError& error);

}  // namespace cvn::reporting
