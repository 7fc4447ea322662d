// The error record (code, description, call trace) and its text form
// "0x%08X <description> [<trace>]", in which errors travel between components.
// Thread safety: plain values and pure functions; BuildErrorRecord reads only the given objects.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "corvane/Sprocket.h"

namespace cvn {

/// Set as the GUID of every error object this module creates: its description is an error text.
inline constexpr GUID kErrorTextMarkerGuid = MakeGuid(0x64107A4E, 0x9383, 0x4398, 0x97FF, 0xEE55F0DA7FDF);

/// Flag bits that leave parts out of the error text.
inline constexpr uint32_t kErrorTextNoCode = 1;
inline constexpr uint32_t kErrorTextNoDescription = 2;
inline constexpr uint32_t kErrorTextNoTrace = 4;

struct ErrorRecord {
    HRESULT code = S_OK;
    std::string description;
    std::string trace;  ///< address groups joined by ";", addresses within a group by ","

    bool operator==(const ErrorRecord&) const = default;
};

/// The error text of a record; empty description or trace are left out, trailing white space removed.
std::string FormatErrorText(const ErrorRecord& record, uint32_t flags = 0);

/// Nothing when the text does not start with a 32-bit number followed by one blank.
std::optional<ErrorRecord> ParseErrorText(std::string_view text);

/// One trace group: each address as "0x" and 16 upper-case hex digits, joined by ","; empty for none.
std::string FormatTraceGroup(const void* const* addresses, size_t count);

/// Appends a group to a trace, after ";" when the trace is not empty; an empty group changes nothing.
void AppendTraceGroup(std::string& trace, std::string_view group);

/// The record of a code: from the error object (its text when it carries the marker GUID, else its
/// description as a plain description) or else from an error text; a text that does not parse or
/// has another code is dropped; an empty description becomes the code's message text; the
/// addresses are appended as one more trace group. Throws only std::bad_alloc.
ErrorRecord BuildErrorRecord(HRESULT code, IErrorInfo* info, const std::string* errorText,
                             const void* const* addresses = nullptr, size_t addressCount = 0);

}  // namespace cvn
