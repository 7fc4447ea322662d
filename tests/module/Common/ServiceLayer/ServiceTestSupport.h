// Test helpers shared by the service layer and subscription tests: a named
// instance registered for one scope, a log line capture, the code of a throw.
// Thread safety: LogCapture may receive lines from any thread.
#pragma once

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "ErrorHandling/HRX.h"
#include "Logging/LogManager.h"
#include "NodeAccess/QxNodePtr.h"
#include "corvane/NamedInstances.h"

namespace corvane::test {

/// Registers an object under a name for the lifetime of the scope.
class ScopedNamedInstance {
public:
    ScopedNamedInstance(std::string_view name, IComponentBase* object) : m_name(ToUtf16(name))
    {
        EXPECT_EQ(SkRegisterNamedInstance(m_name.c_str(), object), S_OK);
    }
    ~ScopedNamedInstance() { SkUnregisterNamedInstance(m_name.c_str()); }
    ScopedNamedInstance(const ScopedNamedInstance&) = delete;
    ScopedNamedInstance& operator=(const ScopedNamedInstance&) = delete;

private:
    std::u16string m_name;
};

/// Collects every log line written while it lives.
class LogCapture : public ILogSink {
public:
    LogCapture() { log::LogManager::Instance().Register(this); }
    ~LogCapture() { log::LogManager::Instance().Unregister(this); }

    void Write(const char* text, size_t length) noexcept override
    {
        std::lock_guard guard(m_lock);
        m_lines.emplace_back(text, length);
    }
    /// How many captured lines contain the text.
    size_t Count(std::string_view text)
    {
        std::lock_guard guard(m_lock);
        size_t count = 0;
        for (const auto& line : m_lines) count += line.find(text) != std::string::npos ? 1 : 0;
        return count;
    }

private:
    std::mutex m_lock;
    std::vector<std::string> m_lines;
};

/// The HRX code that body throws, S_OK when it throws none.
template <class Body>
HRESULT CodeOf(Body&& body)
{
    try {
        body();
    } catch (const HRX& error) {
        return error.Code();
    }
    return S_OK;
}

}  // namespace corvane::test
