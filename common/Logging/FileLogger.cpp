// The file sink.
#include "common/Logging/FileLogger.h"

#include <cstdarg>
#include <cstdio>

#include "common/Logging/LineFormat.h"
#include "common/Logging/LogDirectory.h"
#include "common/Logging/LogManager.h"
#include "common/Logging/ScratchText.h"
#include "corvane/Platform.h"
#include "platform/os/DebugOutput.h"

namespace cvn::log {
namespace {

constexpr int kSharingRetries = 3;
constexpr uint32_t kSharingRetryDelayMs = 10;

// A file with nothing in it is new even when the system hands out the inode of a
// deleted log again, which makes device and inode alone miss a replaced file.
bool IsEmpty(os::FileHandle handle)
{
    uint64_t size = 0;
    return os::GetFileSize(handle, size) == 0 && size == 0;
}

std::string Printf(const char* format, ...)
{
    char buffer[1024];
    va_list args;
    va_start(args, format);
    const int written = std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    return written < 0 ? std::string(format) : std::string(buffer);
}

}  // namespace

FileLogger::FileLogger(std::string name, std::string banner)
    : m_banner(std::move(banner)), m_name(std::move(name)),
      m_nameIsPath(m_name.find_first_of("\\/") != std::string::npos)
{
}

FileLogger::~FileLogger() { LogManager::Instance().Unregister(this); }

std::string FileLogger::LastPath() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_lastPath;
}

void FileLogger::Write(const char* text, size_t length) noexcept
{
    const FileRef file = AcquireFile();
    if (!file) return;
    try {
        detail::ScratchText scratch;
        std::string& bytes = *scratch;
        AppendUtf16Le(bytes, std::string_view(text, length));
        const uint32_t error = os::WriteFile(file->handle, bytes.data(), bytes.size());
        if (error != 0) os::DebugOutputF("FileLogger: cannot write (error: 0x%08x)", HResultFromWin32(error));
    } catch (...) {
        os::DebugOutput("FileLogger: cannot write (out of memory)");
    }
    // The write's reference is released here; the file closes with the last one.
}

// A write shares the cached open file instead of duplicating the descriptor: the
// file stays open for this write even when another thread reopens the cache.
FileLogger::FileRef FileLogger::AcquireFile() noexcept
{
    const uint64_t now = MillisecondsOf(SteadyNow());
    const uint64_t keepOpen = Logger::Instance().KeepOpenIntervalMs(now);
    std::string complaint;
    FileRef file;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (keepOpen == 0) {
            m_cached.reset();
            file = OpenLogFile(complaint);
        } else {
            // now was read before the lock: another thread may have reopened the file since.
            if (!m_everOpened || (now > m_lastOpenTick && now - m_lastOpenTick >= keepOpen)) {
                m_everOpened = true;
                m_lastOpenTick = now;
                m_cached.reset();
                m_cached = OpenLogFile(complaint);
            }
            file = m_cached;
        }
    }
    if (!complaint.empty()) os::DebugOutput(complaint);
    return file;
}

std::string FileLogger::PathFor(const LoggerSettings& settings)
{
    if (m_nameIsPath) return m_name;
    const std::string directory = LogDirectoryOf(settings.path);
    if (directory != m_lastDirectory) {
        CreateDirectoryLevels(directory);
        m_lastDirectory = directory;
    }
    return directory + m_name;
}

FileLogger::FileRef FileLogger::OpenLogFile(std::string& complaint) noexcept
{
    try {
        const LoggerSettings settings = Logger::Instance().Settings();
        const std::string path = PathFor(settings);
        m_lastPath = path;
        auto file = std::make_shared<OpenFile>();
        uint32_t error = os::OpenFileForAppend(path, file->handle);
        for (int retry = 0; error == ERROR_SHARING_VIOLATION && retry < kSharingRetries; ++retry) {
            os::SleepMs(kSharingRetryDelayMs);
            error = os::OpenFileForAppend(path, file->handle);
        }
        if (error != 0) {
            complaint = Printf("FileLogger: cannot open log file '%s' (error: 0x%08x)", path.c_str(),
                             HResultFromWin32(error));
            return nullptr;
        }
        if (settings.fileSizeThresholdMB != 0) {
            uint64_t size = 0;
            if (os::GetFileSize(file->handle, size) == 0) {
                const uint64_t sizeMB = size >> 20;
                if (sizeMB >= settings.fileSizeThresholdMB) {
                    if (!m_tooBigReported) {
                        m_tooBigReported = true;
                        complaint = Printf("FileLogger: log file '%s' is too big (size=%dMB threshold=%dMB)", path.c_str(),
                                         static_cast<int>(sizeMB), static_cast<int>(settings.fileSizeThresholdMB));
                    }
                    return nullptr;
                }
                m_tooBigReported = false;
            }
        }
        if (!m_banner.empty()) {
            os::FileIdentity identity;
            const uint32_t idError = os::GetFileIdentity(file->handle, identity);
            if (idError != 0) {
                complaint = Printf("FileLogger: cannot get file id (error: 0x%08x)", HResultFromWin32(idError));
            } else if (!m_haveIdentity || !(identity == m_lastIdentity) || IsEmpty(file->handle)) {
                m_lastIdentity = identity;
                m_haveIdentity = true;
                std::string bytes;
                AppendUtf16Le(bytes, m_banner);
                const uint32_t writeError = os::WriteFile(file->handle, bytes.data(), bytes.size());
                if (writeError != 0)
                    complaint = Printf("FileLogger: cannot write (error: 0x%08x)", HResultFromWin32(writeError));
            }
        }
        return file;
    } catch (...) {
        try {
            complaint = "FileLogger: cannot open log file (out of memory)";
        } catch (...) {
        }
        return nullptr;
    }
}

}  // namespace cvn::log
