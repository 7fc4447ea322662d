// The log directory.
#include "common/Logging/LogDirectory.h"

#include "common/Settings/DataDirectory.h"
#include "corvane/Platform.h"
#include "platform/os/FileSystem.h"

namespace cvn::log {

std::string LogDirectoryOf(const std::string& pathSetting)
{
    std::string directory = ResolvePath(pathSetting);
    for (char& c : directory)
        if (c == '\\') c = '/';
    if (directory.empty() || directory.back() != '/') directory += '/';
    return directory;
}

void CreateDirectoryLevels(const std::string& directory) noexcept
{
    try {
        for (size_t pos = directory.find('/', 1); pos != std::string::npos; pos = directory.find('/', pos + 1)) {
            const std::string prefix = directory.substr(0, pos);
            const uint32_t error = os::GetFileAttributes(prefix);
            if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) os::CreateDirectory(prefix);
        }
    } catch (...) {
        // Out of memory: the opening that follows reports the missing directory.
    }
}

}  // namespace cvn::log
