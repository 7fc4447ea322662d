// The module's own file.
#include "common/Settings/ModuleFile.h"

#include "common/Settings/ModuleFileTestHooks.h"

#include <mutex>

#include "platform/os/Process.h"

namespace cvn {
namespace {

std::mutex g_lock;
std::string g_override;

// Any symbol of this module; its address names the file the loader mapped it from.
void ModuleAnchor() {}

}  // namespace

std::string ModuleFilePath()
{
    {
        std::lock_guard<std::mutex> guard(g_lock);
        if (!g_override.empty()) return g_override;
    }
    static const std::string path = os::ModulePathOf(reinterpret_cast<const void*>(&ModuleAnchor));
    return path;
}

std::string ModuleDirectory() { return DirectoryOf(ModuleFilePath()); }
std::string ModuleBaseName() { return StemOf(ModuleFilePath()); }
const void* ModuleBaseAddress() { return os::ModuleBaseOf(reinterpret_cast<const void*>(&ModuleAnchor)); }

void SetModuleFilePathForTests(const std::string& path)
{
    std::lock_guard<std::mutex> guard(g_lock);
    g_override = path;
}

std::string DirectoryOf(const std::string& path)
{
    const size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string FileNameOf(const std::string& path)
{
    const size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string StemOf(const std::string& path)
{
    std::string name = FileNameOf(path);
    const size_t dot = name.find_last_of('.');
    if (dot != std::string::npos && dot != 0) name.resize(dot);
    return name;
}

}  // namespace cvn
