// Retrieve requests from the host through the module object's gate, retriever
// factory and meta info provider down to the scripted queries processor and
// back: the method choice, tolerated failures, cancellation by the caller, and
// every handle and component released afterwards.
#include <gtest/gtest.h>

#include "common/ServiceLayer/RequestContext.h"
#include "module/OverviewReportsProcessing/Common/FiltersHelper.h"
#include "tests/support/OverviewTestSupport.h"

namespace cvn::test {
namespace {

using namespace std::chrono_literals;
using host::QueryCallKind;
using host::QueryScript;

constexpr std::string_view kRequest = R"(
<RetrieveCountersRequest q:name="Dashboard" PartialResult:bool="false">
  <GroupByRoot q:name="GroupByRoot"><GroupByRootEntry Column="Who"/><GroupByRootEntry Column="Where"/></GroupByRoot>
  <RetrieveCountersSubRequest q:name="A"/>
  <RetrieveCountersSubRequest q:name="B"/>
  <RetrieveCountersSubRequest q:name="C"/>
</RetrieveCountersRequest>)";

constexpr std::string_view kWhole = R"(PartialResult:bool="false")";

class EndToEnd : public RetrievalTest {
protected:
    void SetUp() override
    {
        RetrievalTest::SetUp();
        WriteConfigNode(ConfigSource::AppConfigStorage, "\\Configuration\\OverviewMetricsConfiguration",
                        Tree(kPlanMetricsConfiguration));
        OverviewReportsProcessing::ResetMaskHelperForTests();  // read from the store on first use
        WriteConfigNode(ConfigSource::ConfigServer, kReportingSettingsPath, Tree(R"(<node Enabled:bool="true"/>)"));
        m_database = CreateComponent<ScriptedDatabaseGate>();
        m_host.ServiceClient()->RegisterService("Service.DatabaseManagementGate", m_database.Get());

        // Made, configured and named through the module object, as the host does.
        const struct {
            const GUID* classId;
            std::string_view configuration;
            const char* name;
        } components[] = {{&Corvane::CLSID_MetaInfoProvider, kProviderConfiguration, "Test.MetaInfoProvider"},
                          {&Corvane::CLSID_DataRetrieverFactory, kFactoryConfiguration, "Test.RetrieverFactory"},
                          {&Corvane::CLSID_CorvaneGate, kGateConfiguration, "Test.Gate"}};
        for (const auto& [classId, configuration, name] : components) {
            ComPtr<IConfigurableComponent> component;
            ASSERT_EQ(ModuleObject::Instance().CreateInstance(classId, &IConfigurableComponent::kIid, component.PutVoid()), S_OK);
            ASSERT_EQ(component->Configure(Tree(configuration).Get()), S_OK) << name;
            m_names.push_back(std::make_unique<ScopedNamedInstance>(name, component.Get()));
            m_components.push_back(component);
        }
        ASSERT_EQ(m_components.back().As(m_processor), S_OK);
    }

    void TearDown() override
    {
        m_processor.Reset();
        for (auto component = m_components.rbegin(); component != m_components.rend(); ++component) {
            ComPtr<IComponentWithShutdown> withShutdown;
            EXPECT_TRUE(component->As(withShutdown) != S_OK || withShutdown->Shutdown() == S_OK);
        }
        m_names.clear();
        m_components.clear();
        m_database.Reset();
        OverviewReportsProcessing::ResetMaskHelperForTests();
        RetrievalTest::TearDown();  // host services and the queries processor go too
        BOOL inUse = 1;
        EXPECT_EQ(ModuleObject::Instance().IsInUse(&inUse), S_OK);
        EXPECT_FALSE(inUse) << "a component was not released";
    }

    /// Polls until the answer is no longer in progress.
    QxNodePtr PollToEnd(const GUID& token)
    {
        QxNodePtr answer = Poll(token, kWhole);
        for (int i = 0; i < 2000 && Status(answer) == 0; ++i) answer = Poll(token, kWhole);
        return answer;
    }
    void EnableFastMethod()
    {
        WriteConfigNode(ConfigSource::ConfigServer, "\\Settings\\OverviewSettings", Tree(R"(<node FastEnabled:bool="true"/>)"));
        // The provider publishes gathered settings once a second; ask until it answers 1.
        ComPtr<IMetaInfoProvider> provider;
        ASSERT_EQ(m_components.at(0).As(provider), S_OK);
        const QxNodePtr question = Tree(R"(<GetRetrieveMethodRequest>
            <GroupByRoot q:name="GroupByRoot"><GroupByRootEntry Column="Who"/></GroupByRoot></GetRetrieveMethodRequest>)");
        ASSERT_TRUE(WaitUntil([&] {
            return Int(HandedOut([&](IQxNode** out) { return provider->GetRetrieveMethod(question.Get(), out); }).second,
                       "RetrieveMethod") == 1;
        })) << "the fast method was not switched on";
    }
    /// The sub-requests' queries the queries processor received (presence checks have no name).
    std::vector<QxNodePtr> SubRequestQueries()
    {
        std::vector<QxNodePtr> sent;
        for (const auto& call : queries->Calls())
            if (call.kind == QueryCallKind::Query && !call.queryName.empty()) sent.push_back(call.node);
        return sent;
    }

    ComPtr<CComponentObject<ScriptedDatabaseGate>> m_database;
    std::vector<ComPtr<IConfigurableComponent>> m_components;  // provider, factory, gate
    std::vector<std::unique_ptr<ScopedNamedInstance>> m_names;
};

TEST_F(EndToEnd, TheStandardMethodCountsEverySubRequestKeepsAToleratedFailureAndReleasesEveryHandle)
{
    queries->SetScripter([](const QxNodePtr& query) {
        QueryScript script{2, R"(<Result Count:i64="5"/>)"};
        if (query.GetName() == "B") {
            script.errorResult = static_cast<HRESULT>(0x80041911);
            script.errorSerialized = "0x80041911 too many rows [QueriesProcessor]";
        }
        return script;
    });
    const QxNodePtr first = Process(kRequest);
    ASSERT_EQ(Code(first), S_OK) << Text(first, "ErrorSerialized");
    const QxNodePtr done = PollToEnd(TokenOf(first));
    EXPECT_EQ(Status(done), 1) << done.ToText();
    for (const char* name : {"A", "C"}) EXPECT_EQ(SubCount(done, name), 5) << name;
    EXPECT_EQ(static_cast<uint32_t>(Code(done.GetChild("B"))), 0x80041911u);
    EXPECT_NE(Text(done.GetChild("B"), "ErrorSerialized").find("too many rows"), std::string::npos);
    for (const QxNodePtr& query : SubRequestQueries())
        EXPECT_EQ(Int(query, "RetrieveMethod"), 2) << "the fast method is off before its settings arrive";
    EXPECT_EQ(queries->Count(QueryCallKind::Poll), 9u);
    WaitUntil([&] { return queries->Count(QueryCallKind::Free) >= 3; });
    EXPECT_EQ(queries->Count(QueryCallKind::Free), 3u);
}

TEST_F(EndToEnd, TheFastMethodIsChosenForFiltersOfAGroupOnceSwitchedOn)
{
    EnableFastMethod();
    const QxNodePtr first = Process(kRequest);
    ASSERT_EQ(Code(first), S_OK) << Text(first, "ErrorSerialized");
    EXPECT_EQ(Status(PollToEnd(TokenOf(first))), 1);
    const std::vector<QxNodePtr> sent = SubRequestQueries();
    ASSERT_EQ(sent.size(), 3u);
    for (const QxNodePtr& query : sent) EXPECT_EQ(Int(query, "RetrieveMethod"), 1);
    bool masked = false;
    FilterHelper::TraverseCondition(sent[0], [&](const QxNodePtr& leaf) { masked |= Text(leaf, "AliasColumn") == "Mask"; });
    EXPECT_TRUE(masked) << "the fast chain ran: " << sent[0].ToText();
}

TEST_F(EndToEnd, ACallerCancellingItsPollEndsThePollsAtTheQueriesProcessor)
{
    queries->SetScript(QueryScript{-1});
    const GUID token = TokenOf(Process(kRequest));
    const auto caller = m_host.RequestContexts()->CreateContext(0, "dashboard");
    auto polling = std::async(std::launch::async, [&] {
        CRequestContextScope serving(caller.Get());
        return Poll(token, kWhole);
    });
    ASSERT_TRUE(WaitUntil([&] { return queries->Count(QueryCallKind::Poll) >= 6; }));
    ComPtr<IRequestState> state;
    ASSERT_EQ(caller->GetRequestState(state.Put()), S_OK);
    ASSERT_EQ(state->Cancel(), S_OK);
    EXPECT_EQ(Status(polling.get()), 2);
    WaitUntil([&] { return queries->Count(QueryCallKind::Free) >= 3; });
    EXPECT_EQ(queries->Count(QueryCallKind::Free), 3u);
    const size_t polls = queries->Count(QueryCallKind::Poll);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(queries->Count(QueryCallKind::Poll), polls) << "no poll after the release";
}

// A request nested far past the filter walks' depth limit (built through the node API, leaf first)
// gets its answer, 0x8007000D naming the limit, and sends nothing.
TEST_F(EndToEnd, ARequestNestedPastTheDepthLimitIsAnsweredWithInvalidData)
{
    QxNodePtr nested = Tree(R"(<ConditionValues Columnn="Who" Value="alice" Comparator="="/>)");
    for (int level = 0; level < 30000; ++level) {
        QxNodePtr outer = FilterHelper::NewCondition("AND");
        outer.AddChild(nested);
        nested = std::move(outer);
    }
    const QxNodePtr request = Tree(kRequest);
    const QxNodePtr conditions = QxNodePtr::Create("Conditions", "ConditionsRoot");
    conditions.AddChild(nested);
    request.AddChild(conditions);
    const auto [hr, answer] = HandedOut([&](IQxNode** out) { return m_processor->ProcessRequest(request.Get(), out); });
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(Code(answer), kHrInvalidData);
    EXPECT_NE(Text(answer, "ErrorSerialized").find("deeper than the limit of 1000 levels"), std::string::npos);
    EXPECT_TRUE(SubRequestQueries().empty());
}

}  // namespace
}  // namespace cvn::test
