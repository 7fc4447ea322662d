// The module's side of the per-thread error objects: reading them, making them
// from error records, and serializing the thread's current error.
// Thread safety: each function touches only the calling thread's error object.
#pragma once

#include <string>
#include <string_view>

#include "common/ErrorHandling/HRX.h"
#include "corvane/ComPtr.h"
#include "corvane/Sprocket.h"

namespace cvn {

struct ErrorRecord;

/// The description of an error object; empty when it has none or cannot give it.
std::string ReadErrorDescription(IErrorInfo* info);

/// A new error object with the description and GUID; null when the framework cannot make one.
ComPtr<IErrorInfo> MakeErrorObject(std::string_view description, const GUID& guid);

/// Makes the record's error object (its error text, marked) and sets it on the thread; false when that failed.
bool SetThreadError(const ErrorRecord& record) noexcept;

/// Takes (and clears) the thread's error object and returns the error text of the code built from it.
std::string SerializeCurrentError(HRESULT code);

}  // namespace cvn
