// Test helpers shared by the service layer and subscription tests: a named instance registered for one
// scope, a log line capture, the code of a throw and a collection the test waits on.
// Thread safety: LogCapture and Collector may receive items from any thread.
#pragma once

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "common/ErrorHandling/HRX.h"
#include "common/Logging/LogManager.h"
#include "common/NodeAccess/QxNodePtr.h"
#include "corvane/NamedInstances.h"
#include "tests/support/TestBasics.h"

namespace cvn::test {

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

/// Strings handed in from any thread.
class Collector {
public:
    void Add(std::string item)
    {
        std::lock_guard guard(m_lock);
        m_items.emplace_back(std::move(item));
    }
    std::vector<std::string> Items()
    {
        std::lock_guard guard(m_lock);
        return m_items;
    }
    bool WaitFor(size_t count, std::chrono::milliseconds timeout = kWaitLimit)
    {
        return WaitUntil([&] { return Items().size() >= count; }, timeout);
    }

private:
    std::mutex m_lock;
    std::vector<std::string> m_items;
};

/// Collects every log line written while it lives (registered from construction unless told otherwise).
class LogCapture : public ILogSink, public Collector {
public:
    LogCapture(bool registered = true)  // NOLINT(google-explicit-constructor): arrays of unregistered ones
    {
        if (registered) log::LogManager::Instance().Register(this);
    }
    ~LogCapture() { log::LogManager::Instance().Unregister(this); }

    void Write(const char* text, size_t length) noexcept override { Add(std::string(text, length)); }
    std::vector<std::string> Lines() { return Items(); }
    /// The captured lines that contain the text.
    std::vector<std::string> Matching(std::string_view text)
    {
        std::vector<std::string> found;
        for (const std::string& line : Lines())
            if (line.find(text) != std::string::npos) found.push_back(line);
        return found;
    }
    size_t Count(std::string_view text) { return Matching(text).size(); }
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

}  // namespace cvn::test
