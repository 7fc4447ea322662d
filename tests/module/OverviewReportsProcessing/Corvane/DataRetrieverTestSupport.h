// Fixture of the retrieval backend tests: host services in memory, the
// scripted queries processor under "Service.QueriesProcessor", and the leak
// checks every test ends with (components released, handles freed).
// Thread safety: test-thread only, except what the stand-in allows.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <string_view>

#include "Components/ModuleObject.h"
#include "NodeAccess/QxNodePtr.h"
#include "module/Common/ServiceLayer/ServiceTestSupport.h"
#include "services/HostServices.h"
#include "services/QueriesProcessorStandIn.h"

namespace corvane::test {

inline constexpr HRESULT kHrCancelled = static_cast<HRESULT>(0x8007071A);
inline constexpr auto kLimit = std::chrono::seconds(20);

/// A retriever configuration polling every millisecond.
inline constexpr std::string_view kRetrieverConfig =
    R"(<node q:name="Retriever" WaitIntervalMs:i64="1" QueriesProcessorUri="Service.QueriesProcessor"/>)";

class RetrievalTest : public testing::Test {
protected:
    void SetUp() override
    {
        m_startLocks = ModuleObject::Instance().LockCount();
        m_host.Start({});
        queries = CreateComponent<host::CQueriesProcessorStandIn>();
        m_host.ServiceClient()->RegisterService("Service.QueriesProcessor", queries.Get());
    }

    void TearDown() override
    {
        EXPECT_TRUE(queries->UnreleasedHandles().empty()) << "a handle was not released";
        m_host.Stop();
        queries.Reset();
        EXPECT_EQ(ModuleObject::Instance().LockCount(), m_startLocks) << "a component leaked";
    }

    static QxNodePtr Tree(std::string_view text) { return QxNodePtr::Parse(text); }

    host::HostServices m_host;
    ComPtr<CComponentObject<host::CQueriesProcessorStandIn>> queries;

private:
    ULONG m_startLocks = 0;
};

}  // namespace corvane::test
