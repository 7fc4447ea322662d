// The small primitives every test program shares: a temporary folder, a wait on
// something another thread changes, and a node tree from its text form.
// Thread safety: WaitUntil polls state other threads change; the rest is test-thread only.
#pragma once

#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <thread>

#include "common/NodeAccess/QxNodePtr.h"

namespace cvn::test {

/// How long a test waits for something that must happen; only reached when something is broken.
inline constexpr std::chrono::milliseconds kWaitLimit{20000};

/// Polls until the predicate holds; false after the timeout.
template <class Predicate>
bool WaitUntil(Predicate&& predicate, std::chrono::milliseconds timeout = kWaitLimit)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

/// A fresh folder under the system's temporary folder, removed with everything in it.
class TempDir {
public:
    TempDir()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "corvane-test-XXXXXX").string();
        if (mkdtemp(pattern.data())) m_path = pattern;
    }
    ~TempDir()
    {
        // A test may have taken the rights away to provoke a failure.
        std::error_code ignored;
        std::filesystem::permissions(m_path, std::filesystem::perms::owner_all, ignored);
        std::filesystem::remove_all(m_path, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& Path() const { return m_path; }
    /// The path of name inside the folder; nothing is created.
    std::string File(const std::string& name) const { return (std::filesystem::path(m_path) / name).string(); }
    /// Writes text to name (creating its folders) and returns its path.
    std::string Write(const std::string& name, const std::string& text) const
    {
        const std::filesystem::path file = File(name);
        std::filesystem::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary) << text;
        return file.string();
    }

private:
    std::string m_path;
};

/// The single node of a text fixture; a parse failure throws.
inline QxNodePtr Tree(std::string_view text) { return QxNodePtr::Parse(text); }

}  // namespace cvn::test
