// Backslash paths of the configuration store.
#include "host/services/ConfigPath.h"

#include <algorithm>

#include "common/ErrorHandling/ErrorObjects.h"

namespace cvn::host {

ConfigPath SplitConfigPath(std::string_view path)
{
    if (path.empty() || path.front() != '\\')
        ThrowHrWithDescription(E_INVALIDARG, "configuration path '" + std::string(path) +
                                                 "' does not start with a backslash");
    ConfigPath names;
    if (path.size() == 1) return names;
    size_t begin = 1;
    while (true) {
        const size_t end = path.find('\\', begin);
        const std::string_view name = path.substr(begin, end == std::string_view::npos ? end : end - begin);
        if (name.empty())
            ThrowHrWithDescription(E_INVALIDARG,
                                   "configuration path '" + std::string(path) + "' contains an empty name");
        names.emplace_back(name);
        if (end == std::string_view::npos) break;
        begin = end + 1;
    }
    return names;
}

std::string JoinConfigPath(const ConfigPath& path)
{
    if (path.empty()) return "\\";
    std::string text;
    for (const std::string& name : path) {
        text += '\\';
        text += name;
    }
    return text;
}

bool IsSameOrAncestor(const ConfigPath& prefix, const ConfigPath& path)
{
    return prefix.size() <= path.size() && std::equal(prefix.begin(), prefix.end(), path.begin());
}

}  // namespace cvn::host
