// Log files on this platform: POSIX file descriptors opened with O_APPEND.
#include "platform/os/FileSystem.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

namespace cvn::os {

uint32_t Win32ErrorFromErrno(int error) noexcept
{
    switch (error) {
    case 0: return 0;
    case ENOENT: return 2;               // ERROR_FILE_NOT_FOUND
    case ENOTDIR: return 3;              // ERROR_PATH_NOT_FOUND
    case EMFILE: case ENFILE: return 4;  // ERROR_TOO_MANY_OPEN_FILES
    case EACCES: case EPERM: return 5;   // ERROR_ACCESS_DENIED
    case EBADF: return 6;                // ERROR_INVALID_HANDLE
    case ENOMEM: return 8;               // ERROR_NOT_ENOUGH_MEMORY
    case EROFS: return 19;               // ERROR_WRITE_PROTECT
    case EBUSY: case ETXTBSY: return 32; // ERROR_SHARING_VIOLATION
    case ENOSPC: return 112;             // ERROR_DISK_FULL
    case EEXIST: return 183;             // ERROR_ALREADY_EXISTS
    case ENAMETOOLONG: return 206;       // ERROR_FILENAME_EXCED_RANGE
    case EISDIR: return 5;
    default: return 31;                  // ERROR_GEN_FAILURE
    }
}

uint32_t OpenFileForAppend(const std::string& path, FileHandle& handle)
{
    handle = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (handle >= 0) return 0;
    const int error = errno;
    handle = kNoFile;
    // A missing directory is a missing path, as the system reports it.
    return error == ENOENT ? 3 : Win32ErrorFromErrno(error);
}

uint32_t WriteFile(FileHandle handle, const void* data, size_t size)
{
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t written = ::write(handle, bytes, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            return Win32ErrorFromErrno(errno);
        }
        bytes += written;
        size -= static_cast<size_t>(written);
    }
    return 0;
}

uint32_t DuplicateFile(FileHandle handle, FileHandle& duplicate)
{
    duplicate = ::fcntl(handle, F_DUPFD_CLOEXEC, 0);
    if (duplicate >= 0) return 0;
    duplicate = kNoFile;
    return Win32ErrorFromErrno(errno);
}

void CloseFile(FileHandle handle) noexcept
{
    if (handle != kNoFile) ::close(handle);
}

uint32_t GetFileSize(FileHandle handle, uint64_t& size)
{
    struct stat info {};
    if (::fstat(handle, &info) != 0) return Win32ErrorFromErrno(errno);
    size = static_cast<uint64_t>(info.st_size);
    return 0;
}

uint32_t GetFileIdentity(FileHandle handle, FileIdentity& identity)
{
    struct stat info {};
    if (::fstat(handle, &info) != 0) return Win32ErrorFromErrno(errno);
    identity.device = static_cast<uint64_t>(info.st_dev);
    identity.inode = static_cast<uint64_t>(info.st_ino);
    return 0;
}

uint32_t GetFileAttributes(const std::string& path)
{
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0) return 0;
    return Win32ErrorFromErrno(errno);
}

uint32_t CreateDirectory(const std::string& path)
{
    if (::mkdir(path.c_str(), 0755) == 0) return 0;
    return Win32ErrorFromErrno(errno);
}

uint32_t ReadWholeFile(const std::string& path, std::string& bytes)
{
    bytes.clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return Win32ErrorFromErrno(errno);
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return 5;  // ERROR_ACCESS_DENIED
    }
    char buffer[8192];
    while (true) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got == 0) break;
        if (got < 0) {
            if (errno == EINTR) continue;
            const uint32_t error = Win32ErrorFromErrno(errno);
            ::close(fd);
            return error;
        }
        bytes.append(buffer, static_cast<size_t>(got));
    }
    ::close(fd);
    return 0;
}

void SleepMs(uint32_t milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }

}  // namespace cvn::os
