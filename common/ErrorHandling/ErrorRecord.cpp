// Formatting, parsing and building of error records.
#include "common/ErrorHandling/ErrorRecord.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "common/ErrorHandling/ErrorMessages.h"
#include "common/ErrorHandling/ErrorObjects.h"
#include "common/Helpers/PrimitiveText.h"

namespace cvn {

namespace {

constexpr std::string_view kWhiteSpace = " \t\r\n\f\v";

void TrimRight(std::string& text, std::string_view characters)
{
    const size_t last = text.find_last_not_of(characters);
    text.erase(last == std::string::npos ? 0 : last + 1);
}

}  // namespace

std::string FormatErrorText(const ErrorRecord& record, uint32_t flags)
{
    std::string text;
    if (!(flags & kErrorTextNoCode)) text += HrToText(record.code) + " ";
    if (!(flags & kErrorTextNoDescription)) text += record.description;
    if (!(flags & kErrorTextNoTrace) && !record.trace.empty()) {
        text += " [";
        text += record.trace;
        text += ']';
    }
    TrimRight(text, kWhiteSpace);
    return text;
}

std::optional<ErrorRecord> ParseErrorText(std::string_view text)
{
    // The number must start the text: strtoul alone would also skip white space and take a sign.
    if (text.empty() || text[0] < '0' || text[0] > '9') return std::nullopt;
    const size_t numberEnd = text.find_first_not_of("0123456789abcdefABCDEFxX");
    const std::string number(text.substr(0, numberEnd));
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(number.c_str(), &end, 0);
    if (errno != 0 || value > 0xFFFFFFFFull) return std::nullopt;
    const size_t consumed = static_cast<size_t>(end - number.c_str());
    if (consumed >= text.size() || text[consumed] != ' ') return std::nullopt;

    ErrorRecord record;
    record.code = static_cast<HRESULT>(static_cast<uint32_t>(value));
    const std::string_view rest = text.substr(consumed + 1);
    // The trace opens at the last "[": a trace never holds one, a description may.
    const size_t open = rest.rfind('[');
    if (rest.size() > 1 && rest.back() == ']' && open != std::string_view::npos) {
        record.trace = rest.substr(open + 1, rest.size() - open - 2);
        record.description = rest.substr(0, open);
        TrimRight(record.description, kWhiteSpace);
    } else {
        record.description = rest;
    }
    return record;
}

std::string FormatTraceGroup(const void* const* addresses, size_t count)
{
    std::string group;
    for (size_t i = 0; addresses && i < count; ++i) {
        char address[24];
        std::snprintf(address, sizeof address, "0x%016llX",
                      static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(addresses[i])));
        if (!group.empty()) group += ',';
        group += address;
    }
    return group;
}

void AppendTraceGroup(std::string& trace, std::string_view group)
{
    if (group.empty()) return;
    if (!trace.empty()) trace += ';';
    trace += group;
}

ErrorRecord BuildErrorRecord(HRESULT code, IErrorInfo* info, const std::string* errorText,
                             const void* const* addresses, size_t addressCount)
{
    std::optional<ErrorRecord> parsed;
    if (info) {
        GUID guid{};
        const std::string description = ReadErrorDescription(info);
        if (Succeeded(info->GetGUID(&guid)) && guid == kErrorTextMarkerGuid)
            parsed = ParseErrorText(description);
        else
            parsed = ErrorRecord{code, description, {}};
    } else if (errorText) {
        parsed = ParseErrorText(*errorText);
    }
    ErrorRecord record;
    if (parsed && parsed->code == code) record = std::move(*parsed);
    record.code = code;
    if (record.description.empty()) record.description = GetErrorMessage(code);
    AppendTraceGroup(record.trace, FormatTraceGroup(addresses, addressCount));
    return record;
}

}  // namespace cvn
