// The file-backed registry stand-in.
#include "platform/os/RegistryStandIn.h"

#include <cerrno>
#include <filesystem>
#include <mutex>

#include "corvane/Platform.h"
#include "platform/os/DebugOutput.h"
#include "platform/os/Environment.h"
#include "platform/os/FileSystem.h"
#include "platform/os/TextUtil.h"

namespace cvn::os {
namespace {

std::mutex g_rootLock;
std::string g_rootOverride;

std::string_view Trim(std::string_view text)
{
    const size_t begin = text.find_first_not_of(" \t\r\n");
    if (begin == std::string_view::npos) return {};
    return text.substr(begin, text.find_last_not_of(" \t\r\n") - begin + 1);
}

// The entry of dir whose name equals name without regard to case; empty when none.
std::filesystem::path FindEntryNoCase(const std::filesystem::path& dir, const std::string& name)
{
    std::error_code error;
    const std::filesystem::path exact = dir / name;
    if (std::filesystem::exists(exact, error)) return exact;
    for (std::filesystem::directory_iterator it(dir, error), end; !error && it != end; it.increment(error)) {
        if (EqualsNoCase(it->path().filename().string(), name)) return it->path();
    }
    return {};
}

bool ParseLine(std::string_view line, RegistryValue& value)
{
    const size_t equals = line.find('=');
    if (equals == std::string_view::npos) return false;
    value.name = std::string(Trim(line.substr(0, equals)));
    const std::string_view rest = Trim(line.substr(equals + 1));
    const size_t colon = rest.find(':');
    if (colon == std::string_view::npos) return false;
    const std::string_view type = Trim(rest.substr(0, colon));
    value.data = std::string(rest.substr(colon + 1));
    if (type == "REG_SZ") {
        value.type = REG_SZ;
    } else if (type == "REG_EXPAND_SZ") {
        value.type = REG_EXPAND_SZ;
    } else if (type == "REG_DWORD") {
        value.type = REG_DWORD;
        const std::string number(Trim(value.data));
        char* end = nullptr;
        errno = 0;
        const unsigned long parsed = std::strtoul(number.c_str(), &end, 0);
        if (number.empty() || *end != '\0' || errno != 0 || parsed > 0xFFFFFFFFul) return false;
        value.data = std::to_string(parsed);
    } else {
        return false;
    }
    return true;
}

}  // namespace

std::string RegistryRoot()
{
    {
        std::lock_guard<std::mutex> guard(g_rootLock);
        if (!g_rootOverride.empty()) return g_rootOverride;
    }
    const auto fromEnvironment = GetEnvironmentVariable("CORVANE_REGISTRY_ROOT");
    return fromEnvironment && !fromEnvironment->empty() ? *fromEnvironment : "/etc/corvane/registry";
}

void SetRegistryRoot(const std::string& directory)
{
    std::lock_guard<std::mutex> guard(g_rootLock);
    g_rootOverride = directory;
}

uint32_t ReadRegistryKey(RegistryHive hive, const std::string& subkey, std::vector<RegistryValue>& values)
{
    values.clear();
    std::filesystem::path path = FindEntryNoCase(
        RegistryRoot(), hive == RegistryHive::LocalMachine ? "HKEY_LOCAL_MACHINE" : "HKEY_CURRENT_USER");
    std::vector<std::string> components;
    size_t pos = 0;
    while (pos <= subkey.size()) {
        size_t end = subkey.find_first_of("\\/", pos);
        if (end == std::string::npos) end = subkey.size();
        if (end > pos) components.push_back(subkey.substr(pos, end - pos));
        pos = end + 1;
    }
    if (path.empty() || components.empty()) return ERROR_FILE_NOT_FOUND;
    for (size_t i = 0; i + 1 < components.size() && !path.empty(); ++i) path = FindEntryNoCase(path, components[i]);
    if (path.empty()) return ERROR_FILE_NOT_FOUND;
    path = FindEntryNoCase(path, components.back() + ".reg");
    if (path.empty()) return ERROR_FILE_NOT_FOUND;

    std::string bytes;
    if (ReadWholeFile(path.string(), bytes) != 0) return ERROR_ACCESS_DENIED;
    const std::string text = DecodeTextFile(bytes);
    size_t lineStart = 0;
    for (int lineNumber = 1; lineStart <= text.size(); ++lineNumber) {
        size_t end = text.find('\n', lineStart);
        if (end == std::string::npos) end = text.size();
        const std::string_view line = Trim(std::string_view(text).substr(lineStart, end - lineStart));
        lineStart = end + 1;
        if (line.empty() || line.front() == '#' || line.front() == ';') continue;
        RegistryValue value;
        if (ParseLine(line, value) && !value.name.empty()) {
            values.push_back(std::move(value));
        } else {
            DebugOutputF("Registry: skipping malformed line %d of '%s'", lineNumber, path.string().c_str());
        }
    }
    return 0;
}

}  // namespace cvn::os
