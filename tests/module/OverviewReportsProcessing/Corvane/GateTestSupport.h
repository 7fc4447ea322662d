// The gate test fixture: host services in memory, the scripted components
// registered by name, a configured gate created through the module's class
// table, and the leak checks every test ends with.
// Thread safety: the fixture belongs to the test's thread; Process may be
// called from any thread.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <string_view>

#include "ClassTable.h"
#include "Components/ModuleObject.h"
#include "Corvane/CorvaneGate.h"
#include "Corvane/RetrieveCountersContext.h"
#include "GateTestScripts.h"
#include "OverviewReportsProcessing/Common/GuidText.h"
#include "ServiceLayer/NamedServices.h"
#include "module/Common/ServiceLayer/ServiceTestSupport.h"
#include "services/HostServices.h"

namespace corvane::test {

inline constexpr HRESULT kHrUnknownRequest = static_cast<HRESULT>(0x80040513);
inline constexpr std::string_view kReportingSettingsPath = "\\Settings\\ReportingSettings";

/// The gate's configuration: TTL 1 s, the collector's own period far away, polls waiting 10 ms per step.
inline constexpr std::string_view kGateConfiguration = R"(
<node q:name="CorvaneGate" MetaInfoProviderNameInstance="Test.MetaInfoProvider"
      ReportingSettingsCfgPath="\Settings\ReportingSettings" SqlConnectionCacheInSec:i32="30"
      TtlRequest:i64="1" GarbageCollectorRoutineInterval:i64="3600">
  <node q:name="DataSourceMapping">
    <DataSource DataSource:guid="{11111111-2222-3333-4444-555555555555}" ProductIds:strs="101|102"/>
  </node>
  <node q:name="RetrieveCounters" WaitDataInterval:i64="10" DispatcherFactoryNameInstance="Test.RetrieverFactory"
        MetaInfoProviderInstanceName="Test.MetaInfoProvider"/>
</node>)";

class GateTest : public testing::Test {
protected:
    void SetUp() override
    {
        m_startLocks = ModuleObject::Instance().LockCount();
        m_startContexts = Corvane::CRetrieveCountersContext::LiveCount();
        m_host.Start({});
        WriteConfigNode(ConfigSource::ConfigServer, kReportingSettingsPath,
                        QxNodePtr::Parse(R"(<node Enabled:bool="true" Server="db1"/>)"));
        m_databaseGate = CreateComponent<ScriptedDatabaseGate>();
        m_host.ServiceClient()->RegisterService("Service.DatabaseManagementGate", m_databaseGate.Get());
        m_metaInfo = CreateComponent<ScriptedMetaInfoProvider>();
        m_factory = CreateComponent<ScriptedRetrieverFactory>(script);
        m_metaInfoName = std::make_unique<ScopedNamedInstance>("Test.MetaInfoProvider", m_metaInfo.Get());
        m_factoryName = std::make_unique<ScopedNamedInstance>("Test.RetrieverFactory", m_factory.Get());
    }

    void TearDown() override
    {
        if (m_gate) {
            EXPECT_EQ(m_gate->Shutdown(), S_OK);
            m_gate.Reset();
            m_processor.Reset();
        }
        m_factoryName.reset();
        m_metaInfoName.reset();
        m_factory.Reset();
        m_metaInfo.Reset();
        m_host.Stop();
        m_databaseGate.Reset();
        EXPECT_EQ(Corvane::CRetrieveCountersContext::LiveCount(), m_startContexts) << "a context leaked";
        EXPECT_EQ(script->liveRetrievers.load(), 0) << "a retriever was not released";
        EXPECT_EQ(ModuleObject::Instance().LockCount(), m_startLocks) << "a component leaked";
    }

    /// Creates the gate through the class table and configures it; the configure result.
    HRESULT MakeGate(std::string_view configuration = kGateConfiguration)
    {
        EXPECT_EQ(ModuleObject::Instance().CreateInstance(&Corvane::CLSID_CorvaneGate, &IRequestProcessor::kIid,
                                                          m_processor.PutVoid()),
                  S_OK);
        EXPECT_EQ(m_processor.As(m_gate), S_OK);
        ComPtr<IConfigurableComponent> configurable;
        EXPECT_EQ(m_processor.As(configurable), S_OK);
        return configurable->Configure(QxNodePtr::Parse(configuration).Get());
    }
    Corvane::CCorvaneGate& Gate() { return *static_cast<Corvane::CCorvaneGate*>(m_processor.Get()); }

    /// The response to a request in text form; fails the test when ProcessRequest does not answer S_OK.
    QxNodePtr Process(std::string_view text) { return Process(QxNodePtr::Parse(text)); }
    QxNodePtr Process(const QxNodePtr& request)
    {
        IQxNode* response = nullptr;
        const HRESULT hr = m_processor->ProcessRequest(request.Get(), &response);
        EXPECT_EQ(hr, S_OK);
        return QxNodePtr(response, QxNodePtr::Attach{});
    }
    /// A poll of the token, optionally with "PartialResult".
    QxNodePtr Poll(const GUID& token, std::string_view extra = {})
    {
        return Process("<RetrieveCountersRequest q:name=\"Poll\" " + std::string(extra) +
                       "><node q:name=\"RetrieveCookie\" Token:guid=\"" +
                       OverviewReportsProcessing::GuidToText(token) + "\"/></RetrieveCountersRequest>");
    }
    std::future<QxNodePtr> PollAsync(const GUID& token, std::string extra = {})
    {
        return std::async(std::launch::async, [this, token, extra] { return Poll(token, extra); });
    }

    /// The "ResultCode" of freeing the token.
    HRESULT FreeCookieCode(const GUID& token)
    {
        return Code(Process("<FreeCookieRequest><node q:name=\"RetrieveCookie\" Token:guid=\"" +
                            OverviewReportsProcessing::GuidToText(token) + "\"/></FreeCookieRequest>"));
    }
    static GUID TokenOf(const QxNodePtr& response)
    {
        const QxNodePtr cookie = response.GetChild("RetrieveCookie", false);
        return cookie ? cookie.GetAttributeOr<GUID>("Token", GUID{}) : GUID{};
    }
    static int32_t Int(const QxNodePtr& node, std::string_view name, int32_t absent = -1)
    {
        return node ? node.GetAttributeOr<int32_t>(name, absent) : absent;
    }
    static int32_t Status(const QxNodePtr& response) { return Int(response, "RetrieveStatus"); }
    static HRESULT Code(const QxNodePtr& response) { return Int(response, "ResultCode"); }
    static std::string Text(const QxNodePtr& node, std::string_view name)
    {
        return node ? node.GetAttributeOr(name, "") : std::string();
    }
    /// The status of one sub-response, -1 when it is missing.
    static int32_t SubStatus(const QxNodePtr& response, std::string_view name)
    {
        const QxNodePtr sub = response.GetChild(name, false);
        if (!sub || sub.GetType() != "RetrieveCountersSubResponse") return -1;
        return Int(sub, "RetrieveStatus");
    }
    /// The "Count" of one sub-response's result, -1 when it has none.
    static int64_t SubCount(const QxNodePtr& response, std::string_view name)
    {
        const QxNodePtr sub = response.GetChild(name, false);
        const QxNodePtr counters = sub ? sub.GetChild("Counters", false) : QxNodePtr();
        return counters ? counters.GetAttributeOr<int64_t>("Count", -1) : -1;
    }

    std::shared_ptr<RetrievalScript> script = std::make_shared<RetrievalScript>();
    host::HostServices m_host;
    ComPtr<CComponentObject<ScriptedDatabaseGate>> m_databaseGate;
    ComPtr<CComponentObject<ScriptedMetaInfoProvider>> m_metaInfo;
    ComPtr<CComponentObject<ScriptedRetrieverFactory>> m_factory;
    std::unique_ptr<ScopedNamedInstance> m_metaInfoName;
    std::unique_ptr<ScopedNamedInstance> m_factoryName;
    ComPtr<IRequestProcessor> m_processor;
    ComPtr<IComponentWithShutdown> m_gate;

private:
    ULONG m_startLocks = 0;
    size_t m_startContexts = 0;
};

/// Three sub-requests, no time range of its own.
inline constexpr std::string_view kThreeSubRequests = R"(
<RetrieveCountersRequest q:name="Dashboard" TimeZoneOffsetSec:i32="3600" Scope="all">
  <ConditionsRoot q:name="Conditions">
    <Condition operator="AND"><ConditionValues Columnn="Who" Comparator="=" Value="alice"/></Condition>
  </ConditionsRoot>
  <RetrieveCountersSubRequest q:name="A"/>
  <RetrieveCountersSubRequest q:name="B" Scope="mine"/>
  <RetrieveCountersSubRequest q:name="C"/>
</RetrieveCountersRequest>)";

}  // namespace corvane::test
