// Message lookup: custom-range codes in the primary modules first, then the code
// and its Win32 number in the system table and the fallback modules.
#include "common/ErrorHandling/ErrorMessages.h"

#include <mutex>

#include "common/ErrorHandling/MessageModules.h"
#include "platform/os/SystemMessages.h"

namespace cvn {

namespace {

constexpr uint32_t kCustomRangeBegin = 0x80040200;
constexpr uint32_t kCustomRangeEnd = 0x80050000;
constexpr uint32_t kFacilityWin32 = 7;
constexpr std::string_view kNoDescription = "<no description>";
constexpr std::string_view kTrailingCharacters = " .\r\n";

std::optional<std::string> FindInList(const MessageModuleList& list, uint32_t messageId)
{
    for (size_t i = 0; i < list.Size(); ++i)
        if (auto text = list[i].FindMessage(messageId)) return text;
    return std::nullopt;
}

bool IsConversionFlag(char c) { return c == '-' || c == '+' || c == ' ' || c == '#' || c == '0'; }
bool IsLengthModifier(char c) { return c == 'h' || c == 'l' || c == 'L' || c == 'q' || c == 'j' || c == 'z' || c == 't'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

std::optional<std::string> MessageCache::Find(HRESULT code) const
{
    if (!IsEnabled()) return std::nullopt;
    std::shared_lock lock(m_lock);
    const auto it = m_texts.find(code);
    if (it == m_texts.end()) return std::nullopt;
    return it->second;
}

void MessageCache::Store(HRESULT code, const std::string& text)
{
    if (!IsEnabled()) return;
    std::unique_lock lock(m_lock);
    m_texts.insert_or_assign(code, text);
}

std::string FormatMessageArguments(std::string_view format, const std::vector<std::string>& arguments)
{
    std::string text;
    size_t next = 0;
    for (size_t i = 0; i < format.size();) {
        if (format[i] != '%') {
            text += format[i++];
            continue;
        }
        if (i + 1 < format.size() && format[i + 1] == '%') {
            text += '%';
            i += 2;
            continue;
        }
        // Only the shape of a conversion is read; the value is always written as text, so a
        // table text can never make the formatting read an argument of another type.
        size_t end = i + 1;
        while (end < format.size() && IsConversionFlag(format[end])) ++end;
        while (end < format.size() && (IsDigit(format[end]) || format[end] == '*')) ++end;
        if (end < format.size() && format[end] == '.') {
            ++end;
            while (end < format.size() && (IsDigit(format[end]) || format[end] == '*')) ++end;
        }
        while (end < format.size() && IsLengthModifier(format[end])) ++end;
        const bool complete = end < format.size() && std::string_view("diouxXeEfFgGaAcspnS").find(format[end]) !=
                                                         std::string_view::npos;
        if (complete && next < arguments.size()) {
            text += arguments[next++];
            i = end + 1;
        } else {
            const size_t stop = complete ? end + 1 : end;
            text += format.substr(i, stop - i);
            i = stop;
        }
    }
    return text;
}

std::optional<std::string> MessageLookup::FindUnformatted(HRESULT code) const
{
    const uint32_t id = static_cast<uint32_t>(code);
    uint32_t candidates[2] = {id, 0};
    size_t count = 1;
    if (((id >> 16) & 0x1FFF) == kFacilityWin32) candidates[count++] = id & 0xFFFF;
    for (size_t i = 0; i < count; ++i) {
        if (m_systemTable)
            if (auto text = m_systemTable(candidates[i])) return text;
        if (auto text = FindInList(m_modules.fallback, candidates[i])) return text;
    }
    return std::nullopt;
}

std::string MessageLookup::GetErrorMessage(HRESULT code, const std::vector<std::string>* arguments) const
{
    if (!arguments)
        if (auto cached = m_cache.Find(code)) return *cached;

    const uint32_t id = static_cast<uint32_t>(code);
    std::optional<std::string> text;
    if (id >= kCustomRangeBegin && id < kCustomRangeEnd) {
        text = FindInList(m_modules.primary, id);
        if (text && arguments) text = FormatMessageArguments(*text, *arguments);
        // Later sources do not take the caller's arguments for these codes.
        arguments = text ? arguments : nullptr;
    }
    if (!text) {
        text = FindUnformatted(code);
        if (text && arguments) text = FormatMessageArguments(*text, *arguments);
    }
    std::string result = text ? std::move(*text) : std::string(kNoDescription);
    const size_t last = result.find_last_not_of(kTrailingCharacters);
    result.erase(last == std::string::npos ? 0 : last + 1);
    if (!arguments) m_cache.Store(code, result);
    return result;
}

namespace {

const MessageLookup& ProcessLookup()
{
    // Never destroyed: error texts may be needed while other statics are torn down.
    static MessageCache* cache = new MessageCache();
    static const MessageLookup* lookup = new MessageLookup(GetMessageModules(), &os::FindSystemMessage, *cache);
    return *lookup;
}

}  // namespace

std::string GetErrorMessage(HRESULT code)
{
    return ProcessLookup().GetErrorMessage(code, nullptr);
}

std::string GetErrorMessage(HRESULT code, const std::vector<std::string>& arguments)
{
    return ProcessLookup().GetErrorMessage(code, &arguments);
}

}  // namespace cvn
