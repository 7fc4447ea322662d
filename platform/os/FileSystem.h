// Files for the log: opening for append, writing, duplicating handles, size
// and identity (device and inode), and creating directories. Errors are
// returned as Win32 error numbers so callers report them as the system would.
// Thread safety: stateless; handles may be used from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace cvn::os {

using FileHandle = int;
inline constexpr FileHandle kNoFile = -1;

struct FileIdentity {
    uint64_t device = 0;
    uint64_t inode = 0;
    bool operator==(const FileIdentity&) const = default;
};

/// Opens (creating when missing) for appending; 0 or a Win32 error (the handle stays kNoFile).
uint32_t OpenFileForAppend(const std::string& path, FileHandle& handle);
/// Writes all bytes; 0 or a Win32 error.
uint32_t WriteFile(FileHandle handle, const void* data, size_t size);
/// A second handle on the same open file; 0 or a Win32 error.
uint32_t DuplicateFile(FileHandle handle, FileHandle& duplicate);
/// Closes a handle; kNoFile is ignored.
void CloseFile(FileHandle handle) noexcept;
uint32_t GetFileSize(FileHandle handle, uint64_t& size);
uint32_t GetFileIdentity(FileHandle handle, FileIdentity& identity);
/// 0 when the path exists, else ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND or another Win32 error.
uint32_t GetFileAttributes(const std::string& path);
/// 0 or a Win32 error (ERROR_ALREADY_EXISTS when it exists).
uint32_t CreateDirectory(const std::string& path);
/// The Win32 error closest to an errno value.
uint32_t Win32ErrorFromErrno(int error) noexcept;
/// Reads a whole regular file; 0 or a Win32 error (ERROR_ACCESS_DENIED for a directory, as the system
/// answers when a directory is opened as a file).
uint32_t ReadWholeFile(const std::string& path, std::string& bytes);
/// Blocks the calling thread.
void SleepMs(uint32_t milliseconds);

}  // namespace cvn::os
