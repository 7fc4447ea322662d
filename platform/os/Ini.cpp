// INI reader.
#include "platform/os/Ini.h"


#include "platform/os/FileSystem.h"
#include "platform/os/TextUtil.h"

namespace cvn::os {
namespace {

std::string_view Trim(std::string_view text)
{
    const size_t begin = text.find_first_not_of(" \t\r\n\f\v");
    if (begin == std::string_view::npos) return {};
    const size_t end = text.find_last_not_of(" \t\r\n\f\v");
    return text.substr(begin, end - begin + 1);
}

}  // namespace

std::string FindIniValue(std::string_view text, std::string_view section, std::string_view key)
{
    bool inSection = false;
    bool sectionSeen = false;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view line = Trim(text.substr(pos, end - pos));
        pos = end + 1;
        if (line.empty() || line.front() == ';' || line.front() == '#') continue;
        if (line.front() == '[') {
            const size_t close = line.find(']');
            if (close == std::string_view::npos) continue;  // malformed header: not a section
            // Only the first section of that name counts, as with the system reader.
            if (inSection) return {};
            inSection = !sectionSeen && EqualsNoCase(Trim(line.substr(1, close - 1)), section);
            sectionSeen = sectionSeen || inSection;
            continue;
        }
        if (!inSection) continue;
        const size_t equals = line.find('=');
        if (equals == std::string_view::npos) continue;
        if (!EqualsNoCase(Trim(line.substr(0, equals)), key)) continue;
        std::string_view value = Trim(line.substr(equals + 1));
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
            value = value.substr(1, value.size() - 2);
        return std::string(value);
    }
    return {};
}

std::string ReadIniValue(const std::string& file, std::string_view section, std::string_view key)
{
    if (file.empty()) return {};
    std::string bytes;
    if (ReadWholeFile(file, bytes) != 0) return {};
    return FindIniValue(DecodeTextFile(bytes), section, key);
}

}  // namespace cvn::os
