// Process facts from /proc and the dynamic loader.
#include "platform/os/Process.h"

#include <dlfcn.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <fstream>
#include <iterator>

namespace cvn::os {

std::string ExecutablePath()
{
    char buffer[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    return length > 0 ? std::string(buffer, static_cast<size_t>(length)) : std::string();
}

std::string ModulePathOf(const void* address)
{
    Dl_info info{};
    if (!dladdr(address, &info) || !info.dli_fname) return {};
    std::string path = info.dli_fname;
    // The main program may be reported by its invocation name; make it absolute.
    char* resolved = realpath(path.c_str(), nullptr);
    if (resolved) {
        path = resolved;
        std::free(resolved);
    }
    return path;
}

const void* ModuleBaseOf(const void* address)
{
    Dl_info info{};
    return dladdr(address, &info) ? info.dli_fbase : nullptr;
}

std::string CommandLine()
{
    std::ifstream stream("/proc/self/cmdline", std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
    while (!text.empty() && text.back() == '\0') text.pop_back();
    for (char& c : text)
        if (c == '\0') c = ' ';
    return text;
}

uint32_t ProcessId() noexcept { return static_cast<uint32_t>(getpid()); }

uint32_t CurrentThreadId() noexcept
{
    thread_local const uint32_t id = static_cast<uint32_t>(syscall(SYS_gettid));
    return id;
}

}  // namespace cvn::os
