// Environment variables on this platform.
#include "platform/os/Environment.h"

#include <cstdlib>

namespace cvn::os {

std::optional<std::string> GetEnvironmentVariable(const std::string& name)
{
    if (name.empty()) return std::nullopt;
    const char* value = std::getenv(name.c_str());
    if (!value) return std::nullopt;
    return std::string(value);
}

std::string ExpandEnvironmentStrings(const std::string& text)
{
    std::string result;
    result.reserve(text.size());
    size_t pos = 0;
    while (pos < text.size()) {
        const size_t open = text.find('%', pos);
        if (open == std::string::npos) break;
        const size_t close = text.find('%', open + 1);
        if (close == std::string::npos) break;
        result.append(text, pos, open - pos);
        const std::string name = text.substr(open + 1, close - open - 1);
        const auto value = GetEnvironmentVariable(name);
        if (value) {
            result += *value;
            pos = close + 1;
        } else {
            // Unknown names stay as written; the closing "%" may open the next name.
            result.append(text, open, close - open);
            pos = close;
        }
    }
    result.append(text, pos, std::string::npos);
    return result;
}

}  // namespace cvn::os
