// Retrieve requests from the host through the module object's gate, retriever
// factory and meta info provider down to the scripted queries processor and
// back: the method choice, tolerated failures, cancellation by the caller, and
// every handle and component released afterwards.
#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "ClassTable.h"
#include "DataRetrieverTestSupport.h"
#include "OverviewReportsProcessing/Common/FiltersHelper.h"
#include "OverviewReportsProcessing/Common/GuidText.h"
#include "corvane/RetrievalInterfaces.h"
#include "ServiceLayer/NamedServices.h"
#include "ServiceLayer/RequestContext.h"
#include "module/OverviewReportsProcessing/Common/FilterTestSupport.h"

namespace corvane::test {
namespace {

using namespace std::chrono_literals;
using host::QueryCallKind;
using host::QueryScript;

/// Answers every database check with success.
class ReachableDatabase : public Implements<IRequestProcessor> {
public:
    HRESULT ProcessRequest(IQxNode*, IQxNode** response) noexcept override
    {
        QxNodePtr answer = QxNodePtr::Create("CheckDatabaseResponse");
        answer.SetAttribute("ResponseResult", int32_t{0});
        *response = answer.Detach();
        return S_OK;
    }
};

constexpr std::string_view kGateConfig = R"(
<node q:name="CorvaneGate" MetaInfoProviderNameInstance="Corvane.MetaInfoProvider"
      ReportingSettingsCfgPath="\Settings\ReportingSettings" SqlConnectionCacheInSec:i32="30"
      TtlRequest:i64="60" GarbageCollectorRoutineInterval:i64="3600">
  <node q:name="DataSourceMapping"/>
  <node q:name="RetrieveCounters" WaitDataInterval:i64="10" DispatcherFactoryNameInstance="Corvane.RetrieverFactory"
        MetaInfoProviderInstanceName="Corvane.MetaInfoProvider"/>
</node>)";

constexpr std::string_view kFactoryConfig = R"(
<node q:name="RetrieverFactory" MetaInfoProviderInstanceName="Corvane.MetaInfoProvider">
  <node q:name="Retriever" WaitIntervalMs:i64="1" QueriesProcessorUri="Service.QueriesProcessor"/>
  <node q:name="DefaultProcessorsConfig"/>
  <node q:name="RetrieveMethods">
    <node q:name="Fast" RetrieveMethod:i32="1" Processors:strs="MaskProcessor"/>
    <node q:name="Standard" RetrieveMethod:i32="2" Processors:strs=""/>
  </node>
</node>)";

constexpr std::string_view kProviderConfig = R"(
<node q:name="MetaInfoProvider" DefaultTimeRangeInHour:i32="24" OverviewSettingsCfgPath="\Settings\OverviewSettings"
      EnableSettingsAttrName="Enabled">
  <node q:name="StaleRecordsExistenceChecker" DSMInstName="Dsm.Notifications" CheckIntervalSec:i64="60"
        SupressedProductIds:i32s="7" WaitIntervalMs:i64="1" QueriesProcessorUri="Service.QueriesProcessor"/>
</node>)";

constexpr std::string_view kRequest = R"(
<RetrieveCountersRequest q:name="Dashboard" PartialResult:bool="false">
  <GroupByRoot q:name="GroupByRoot"><GroupByRootEntry Column="Who"/><GroupByRootEntry Column="Where"/></GroupByRoot>
  <RetrieveCountersSubRequest q:name="A"/>
  <RetrieveCountersSubRequest q:name="B"/>
  <RetrieveCountersSubRequest q:name="C"/>
</RetrieveCountersRequest>)";

class EndToEnd : public RetrievalTest {
protected:
    void SetUp() override
    {
        RetrievalTest::SetUp();
        WriteConfigNode(ConfigSource::AppConfigStorage, "\\Configuration\\OverviewMetricsConfiguration",
                        Tree(kMetricsConfiguration));
        OverviewReportsProcessing::MaskHelper::ResetForTests();  // read from the store on first use
        WriteConfigNode(ConfigSource::ConfigServer, "\\Settings\\ReportingSettings", Tree(R"(<node Enabled:bool="true"/>)"));
        m_database = CreateComponent<ReachableDatabase>();
        m_host.ServiceClient()->RegisterService("Service.DatabaseManagementGate", m_database.Get());

        IComponentsModule& module = ModuleObject::Instance();  // what GetComponentsModuleObject hands out
        ASSERT_EQ(module.CreateInstance(&Corvane::CLSID_MetaInfoProvider, &IConfigurableComponent::kIid, m_provider.PutVoid()), S_OK);
        ASSERT_EQ(m_provider->Configure(Tree(kProviderConfig).Get()), S_OK);
        m_names.push_back(std::make_unique<ScopedNamedInstance>("Corvane.MetaInfoProvider", m_provider.Get()));
        ASSERT_EQ(module.CreateInstance(&Corvane::CLSID_DataRetrieverFactory, &IConfigurableComponent::kIid, m_factory.PutVoid()), S_OK);
        ASSERT_EQ(m_factory->Configure(Tree(kFactoryConfig).Get()), S_OK);
        m_names.push_back(std::make_unique<ScopedNamedInstance>("Corvane.RetrieverFactory", m_factory.Get()));
        ASSERT_EQ(module.CreateInstance(&Corvane::CLSID_CorvaneGate, &IConfigurableComponent::kIid, m_gateConfig.PutVoid()), S_OK);
        ASSERT_EQ(m_gateConfig->Configure(Tree(kGateConfig).Get()), S_OK);
        ASSERT_EQ(m_gateConfig.As(m_gate), S_OK);
    }

    void TearDown() override
    {
        for (ComPtr<IConfigurableComponent>* component : {&m_gateConfig, &m_factory, &m_provider}) {
            ComPtr<IComponentWithShutdown> withShutdown;
            if (*component && component->As(withShutdown) == S_OK) {
                EXPECT_EQ(withShutdown->Shutdown(), S_OK);
            }
        }
        m_gate.Reset();
        m_gateConfig.Reset();
        m_names.clear();
        m_factory.Reset();
        m_provider.Reset();
        m_database.Reset();
        OverviewReportsProcessing::MaskHelper::ResetForTests();
        RetrievalTest::TearDown();  // host services and the queries processor go too
        BOOL inUse = 1;
        EXPECT_EQ(ModuleObject::Instance().IsInUse(&inUse), S_OK);
        EXPECT_FALSE(inUse) << "a component was not released";
    }

    QxNodePtr Process(const QxNodePtr& request)
    {
        IQxNode* raw = nullptr;
        EXPECT_EQ(m_gate->ProcessRequest(request.Get(), &raw), S_OK);
        return QxNodePtr(raw, QxNodePtr::Attach{});
    }
    QxNodePtr Poll(const GUID& token)
    {
        return Process(Tree(R"(<RetrieveCountersRequest q:name="Poll" PartialResult:bool="false"><node q:name="RetrieveCookie" Token:guid=")" +
                            OverviewReportsProcessing::GuidToText(token) + R"("/></RetrieveCountersRequest>)"));
    }
    /// Polls until the answer is no longer in progress.
    QxNodePtr PollToEnd(const GUID& token)
    {
        QxNodePtr answer;
        for (int i = 0; i < 2000; ++i) {
            answer = Poll(token);
            if (answer.GetAttributeOr<int32_t>("RetrieveStatus", -1) != 0) break;
        }
        return answer;
    }
    static GUID TokenOf(const QxNodePtr& response)
    {
        return response.GetChild("RetrieveCookie").GetRequiredAttribute<GUID>("Token");
    }
    void EnableFastMethod()
    {
        WriteConfigNode(ConfigSource::ConfigServer, "\\Settings\\OverviewSettings", Tree(R"(<node Enabled:bool="true"/>)"));
        // The provider publishes gathered settings once a second; ask until it answers 1.
        const auto until = std::chrono::steady_clock::now() + kLimit;
        while (std::chrono::steady_clock::now() < until) {
            IQxNode* raw = nullptr;
            ComPtr<IMetaInfoProvider> provider;
            ASSERT_EQ(m_provider.As(provider), S_OK);
            ASSERT_EQ(provider->GetRetrieveMethod(Tree(R"(<GetRetrieveMethodRequest>
                <GroupByRoot q:name="GroupByRoot"><GroupByRootEntry Column="Who"/></GroupByRoot></GetRetrieveMethodRequest>)").Get(), &raw), S_OK);
            if (QxNodePtr(raw, QxNodePtr::Attach{}).GetAttributeOr<int32_t>("RetrieveMethod", 0) == 1) return;
            std::this_thread::sleep_for(5ms);
        }
        FAIL() << "the fast method was not switched on";
    }
    /// The sub-requests' queries the queries processor received (presence checks have no name).
    std::vector<QxNodePtr> SubRequestQueries()
    {
        std::vector<QxNodePtr> sent;
        for (const auto& call : queries->Calls())
            if (call.kind == QueryCallKind::Query && !call.queryName.empty()) sent.push_back(call.node);
        return sent;
    }
    std::vector<int32_t> SentMethods()
    {
        std::vector<int32_t> methods;
        for (const QxNodePtr& query : SubRequestQueries()) methods.push_back(query.GetAttributeOr<int32_t>("RetrieveMethod", -1));
        return methods;
    }

    ComPtr<CComponentObject<ReachableDatabase>> m_database;
    ComPtr<IConfigurableComponent> m_provider;
    ComPtr<IConfigurableComponent> m_factory;
    ComPtr<IConfigurableComponent> m_gateConfig;
    ComPtr<IRequestProcessor> m_gate;
    std::vector<std::unique_ptr<ScopedNamedInstance>> m_names;
};

TEST_F(EndToEnd, TheStandardMethodCountsEverySubRequestAndReleasesEveryHandle)
{
    queries->SetScript(QueryScript{2, R"(<Result Count:i64="5"/>)"});
    const QxNodePtr first = Process(Tree(kRequest));
    ASSERT_EQ(first.GetAttributeOr<int32_t>("ResultCode", -1), S_OK) << first.GetAttributeOr("ErrorSerialized", "");
    const QxNodePtr done = PollToEnd(TokenOf(first));
    EXPECT_EQ(done.GetAttributeOr<int32_t>("RetrieveStatus", -1), 1) << done.ToText();
    for (const char* name : {"A", "B", "C"}) {
        const QxNodePtr counters = done.GetChild(name).GetChild("Counters", false);
        ASSERT_TRUE(counters) << name;
        EXPECT_EQ(counters.GetAttributeOr<int64_t>("Count", -1), 5) << name;
    }
    EXPECT_EQ(SentMethods(), (std::vector<int32_t>{2, 2, 2})) << "the fast method is off before its settings arrive";
    EXPECT_EQ(queries->Count(QueryCallKind::Poll), 9u);
    const auto until = std::chrono::steady_clock::now() + kLimit;
    while (queries->Count(QueryCallKind::Free) < 3 && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(1ms);
    EXPECT_EQ(queries->Count(QueryCallKind::Free), 3u);
}

TEST_F(EndToEnd, TheFastMethodIsChosenForFiltersOfAGroupOnceSwitchedOn)
{
    EnableFastMethod();
    const QxNodePtr first = Process(Tree(kRequest));
    ASSERT_EQ(first.GetAttributeOr<int32_t>("ResultCode", -1), S_OK) << first.GetAttributeOr("ErrorSerialized", "");
    EXPECT_EQ(PollToEnd(TokenOf(first)).GetAttributeOr<int32_t>("RetrieveStatus", -1), 1);
    EXPECT_EQ(SentMethods(), (std::vector<int32_t>{1, 1, 1}));
    bool masked = false;
    const QxNodePtr query = SubRequestQueries().at(0);
    FilterHelper::TraverseCondition(query, [&](const QxNodePtr& leaf) { masked |= leaf.GetAttributeOr("Columnn", "") == "Mask"; });
    EXPECT_TRUE(masked) << "the fast chain ran: " << query.ToText();
}

TEST_F(EndToEnd, ASubRequestFailingWithAToleratedCodeKeepsTheAnswer)
{
    queries->SetScripter([](const QxNodePtr& query) {
        QueryScript script{1, R"(<Result Count:i64="3"/>)"};
        if (query.GetName() == "B") {
            script.errorResult = static_cast<HRESULT>(0x80041911);
            script.errorSerialized = "0x80041911 too many rows [QueriesProcessor]";
        }
        return script;
    });
    const QxNodePtr done = PollToEnd(TokenOf(Process(Tree(kRequest))));
    EXPECT_EQ(done.GetAttributeOr<int32_t>("RetrieveStatus", -1), 1) << done.ToText();
    EXPECT_EQ(static_cast<uint32_t>(done.GetChild("B").GetAttributeOr<int32_t>("ResultCode", 0)), 0x80041911u);
    EXPECT_NE(done.GetChild("B").GetAttributeOr("ErrorSerialized", "").find("too many rows"), std::string::npos);
    EXPECT_EQ(done.GetChild("A").GetChild("Counters").GetAttributeOr<int64_t>("Count", -1), 3);
}

TEST_F(EndToEnd, ACallerCancellingItsPollEndsThePollsAtTheQueriesProcessor)
{
    queries->SetScript(QueryScript{-1});
    const GUID token = TokenOf(Process(Tree(kRequest)));
    const auto caller = m_host.RequestContexts()->CreateContext(0, "dashboard");
    auto polling = std::async(std::launch::async, [&] {
        CRequestContextScope serving(caller.Get());
        return Poll(token);
    });
    ASSERT_TRUE(queries->WaitFor(QueryCallKind::Poll, 6, kLimit));
    ComPtr<IRequestState> state;
    ASSERT_EQ(caller->GetRequestState(state.Put()), S_OK);
    ASSERT_EQ(state->Cancel(), S_OK);
    EXPECT_EQ(polling.get().GetAttributeOr<int32_t>("RetrieveStatus", -1), 2);

    const auto until = std::chrono::steady_clock::now() + kLimit;
    while (queries->Count(QueryCallKind::Free) < 3 && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(1ms);
    EXPECT_EQ(queries->Count(QueryCallKind::Free), 3u);
    const size_t polls = queries->Count(QueryCallKind::Poll);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(queries->Count(QueryCallKind::Poll), polls) << "no poll after the release";
}

}  // namespace
}  // namespace corvane::test
