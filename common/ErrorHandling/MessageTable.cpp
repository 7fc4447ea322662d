// Message table files.
#include "common/ErrorHandling/MessageTable.h"

#include <cerrno>
#include <cstdlib>

#include "corvane/Platform.h"
#include "platform/os/DebugOutput.h"
#include "platform/os/FileSystem.h"
#include "platform/os/TextUtil.h"

namespace cvn {
namespace {

constexpr std::string_view kHeader = "CORVANE-MESSAGE-TABLE 1";
constexpr uint32_t kErrorModNotFound = 126;

std::string_view Trim(std::string_view text)
{
    const size_t begin = text.find_first_not_of(" \t\r\n");
    if (begin == std::string_view::npos) return {};
    return text.substr(begin, text.find_last_not_of(" \t\r\n") - begin + 1);
}

// Backslash escapes: \n \r \t \\; anything else after a backslash is kept as written.
std::string Unescape(std::string_view text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        const char next = text[++i];
        if (next == 'n') out += '\n';
        else if (next == 'r') out += '\r';
        else if (next == 't') out += '\t';
        else if (next == '\\') out += '\\';
        else { out += '\\'; out += next; }
    }
    return out;
}

}  // namespace

uint32_t MessageTable::Load(const std::string& path, std::unique_ptr<MessageTable>& table)
{
    std::string bytes;
    const uint32_t error = os::ReadWholeFile(path, bytes);
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return kErrorModNotFound;
    if (error != 0) return error;
    return Parse(os::DecodeTextFile(bytes), path, table);
}

uint32_t MessageTable::Parse(std::string_view text, const std::string& name, std::unique_ptr<MessageTable>& table)
{
    auto parsed = std::make_unique<MessageTable>();
    bool headerSeen = false;
    size_t pos = 0;
    for (int lineNumber = 1; pos <= text.size(); ++lineNumber) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view line = Trim(text.substr(pos, end - pos));
        pos = end + 1;
        if (line.empty() || line.front() == '#') continue;
        if (!headerSeen) {
            if (line != kHeader) {
                os::DebugOutputF("MessageTable: '%s' does not start with \"%.*s\"", name.c_str(),
                                 static_cast<int>(kHeader.size()), kHeader.data());
                return ERROR_INVALID_DATA;
            }
            headerSeen = true;
            continue;
        }
        const size_t blank = line.find_first_of(" \t");
        const std::string id(line.substr(0, blank));
        char* idEnd = nullptr;
        errno = 0;
        const unsigned long long value = std::strtoull(id.c_str(), &idEnd, 0);
        const std::string_view rest = blank == std::string_view::npos ? std::string_view() : Trim(line.substr(blank));
        if (id.empty() || *idEnd != '\0' || errno != 0 || value > 0xFFFFFFFFull || rest.empty() ||
            !parsed->m_texts.emplace(static_cast<uint32_t>(value), Unescape(rest)).second) {
            os::DebugOutputF("MessageTable: '%s' line %d is not \"<id> <text>\" with a new id", name.c_str(),
                             lineNumber);
            return ERROR_INVALID_DATA;
        }
    }
    if (!headerSeen) {
        os::DebugOutputF("MessageTable: '%s' is empty", name.c_str());
        return ERROR_INVALID_DATA;
    }
    table = std::move(parsed);
    return 0;
}

std::optional<std::string> MessageTable::FindMessage(uint32_t messageId) const
{
    const auto found = m_texts.find(messageId);
    if (found == m_texts.end()) return std::nullopt;
    return found->second;
}

}  // namespace cvn
