// The configuration store's file. Written through a temporary file and rename so
// that a crash or a full disk leaves either the old file or the new one.
#include "host/services/ConfigFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

#include "common/ErrorHandling/ErrorObjects.h"
#include "common/ErrorHandling/HRX.h"
#include "common/Helpers/RequestProcessingUtils.h"
#include "platform/os/FileSystem.h"

namespace cvn::host {

namespace {

[[noreturn]] void ThrowFileError(const std::string& path, const char* action, int error)
{
    ThrowHrWithDescription(HResultFromWin32(os::Win32ErrorFromErrno(error)),
                           "configuration file '" + path + "': cannot " + action + ": " + std::strerror(error));
}

HRESULT AppendBytes(const void* bytes, uint32_t byteCount, void* context) noexcept
try {
    static_cast<std::string*>(context)->append(static_cast<const char*>(bytes), byteCount);
    return S_OK;
} catch (...) {
    return E_OUTOFMEMORY;
}

std::string ToFileText(const std::vector<QxNodePtr>& nodes)
{
    std::string text;
    QxnSerializationContext* context = nullptr;
    ThrowIfFailed(QxnStartSerialization(QXN_SERIALIZE_TEXT, QXN_SERIALIZE_INDENT | QXN_SERIALIZE_UTF8, &AppendBytes,
                                  &text, &context));
    std::vector<IQxNode*> handles;
    for (const QxNodePtr& node : nodes) handles.push_back(node.Get());
    IQxNode* none = nullptr;
    HRESULT hr = QxnSerializeNodes(context, handles.empty() ? &none : handles.data(), handles.size(), QXN_DEPTH_ALL);
    if (Succeeded(hr)) hr = QxnFinalizeSerialization(context);
    QxnCloseSerializationContext(context);
    ThrowIfFailed(hr);
    return text;
}

void WriteAll(int fd, const std::string& text, const std::string& tempPath)
{
    size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) ThrowFileError(tempPath, "write", errno);
        written += static_cast<size_t>(n);
    }
    if (::fsync(fd) != 0) ThrowFileError(tempPath, "flush", errno);
}

}  // namespace

std::vector<QxNodePtr> LoadConfigFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) ThrowFileError(path, "open", errno ? errno : ENOENT);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) ThrowFileError(path, "read", errno ? errno : EIO);

    std::vector<IQxNode*> handles(16);
    uint64_t count = 0;
    char error[512] = {};
    HRESULT hr = QxnParseText(text.data(), text.size(), handles.data(), handles.size(), &count, error, sizeof error);
    if (hr == kHrInsufficientBuffer && count > handles.size()) {
        handles.resize(count);
        hr = QxnParseText(text.data(), text.size(), handles.data(), handles.size(), &count, error, sizeof error);
    }
    if (Failed(hr)) {
        const std::string reason = error[0] ? error : "the text cannot be read as nodes";
        ThrowHrWithDescription(hr, "configuration file '" + path + "': " + reason);
    }
    std::vector<QxNodePtr> nodes;
    nodes.reserve(count);
    for (uint64_t i = 0; i < count; ++i) nodes.emplace_back(handles[i], QxNodePtr::Attach{});
    return nodes;
}

void SaveConfigFile(const std::string& path, const std::vector<QxNodePtr>& nodes)
{
    const std::string text = ToFileText(nodes);
    const std::string tempPath = path + ".tmp." + std::to_string(::getpid());
    const int fd = ::open(tempPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) ThrowFileError(tempPath, "create", errno);
    {
        ScopeExit discard([&] {
            ::close(fd);
            ::unlink(tempPath.c_str());
        });
        WriteAll(fd, text, tempPath);
        discard.Dismiss();
    }
    if (::close(fd) != 0) {
        const int error = errno;
        ::unlink(tempPath.c_str());
        ThrowFileError(tempPath, "close", error);
    }
    if (::rename(tempPath.c_str(), path.c_str()) != 0) {
        const int error = errno;
        ::unlink(tempPath.c_str());
        ThrowFileError(path, "replace", error);
    }
}

}  // namespace cvn::host
