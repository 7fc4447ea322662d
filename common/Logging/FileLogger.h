// The file sink: appends UTF-16LE lines (no byte order mark) to one log file,
// reusing an opened handle for the keep-open interval, refusing files above the
// size threshold, and writing the banner at the top of every new file.
// Thread safety: Write may run on any thread at once; handle management is
// serialised by the sink's lock, the writes themselves are not.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "common/Logging/LogSink.h"
#include "common/Logging/Logger.h"
#include "platform/os/FileSystem.h"

namespace cvn::log {

class FileLogger final : public ILogSink {
public:
    /// A name with "/" or "\" is the file's path; a bare name lives in the log directory.
    FileLogger(std::string name, std::string banner);
    /// Unregisters from the log manager and closes the cached handle.
    ~FileLogger();
    FileLogger(const FileLogger&) = delete;
    FileLogger& operator=(const FileLogger&) = delete;

    /// Drops the line (with a debug output line saying why) when the file cannot be opened or written.
    void Write(const char* text, size_t length) noexcept override;

    /// The path the last opening used; "" before the first.
    std::string LastPath() const;

private:
    struct OpenFile {
        os::FileHandle handle = os::kNoFile;
        ~OpenFile() { os::CloseFile(handle); }
    };
    using FileRef = std::shared_ptr<OpenFile>;

    FileRef AcquireFile() noexcept;
    /// complaint: what went wrong, for the debug output once m_lock is released (it has a lock of its own).
    FileRef OpenLogFile(std::string& complaint) noexcept;
    std::string PathFor(const LoggerSettings& settings);

    const std::string m_banner;
    const std::string m_name;
    const bool m_nameIsPath;
    mutable std::mutex m_lock;
    FileRef m_cached;
    os::FileIdentity m_lastIdentity{};
    bool m_haveIdentity = false;
    uint64_t m_lastOpenTick = 0;
    bool m_everOpened = false;
    bool m_tooBigReported = false;
    std::string m_lastDirectory;
    std::string m_lastPath;
};

}  // namespace cvn::log
