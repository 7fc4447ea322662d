// One sub-request at the queries processor: the retriever's exchange (handle, polls,
// result or error, cancellation, release, captured request context, meta information)
// and the factory that asks for the method and runs the method's chain over a copy.
#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "common/ServiceLayer/RequestContext.h"
#include "module/OverviewReportsProcessing/Corvane/DataRetrieverFactory.h"
#include "module/OverviewReportsProcessing/Corvane/OverviewCountersRetriever.h"
#include "tests/support/OverviewTestSupport.h"

namespace cvn::test {
namespace {

using Corvane::CDataRetriever;
using host::QueryCallKind;
using host::QueryScript;

constexpr std::string_view kSubRequest = R"(
<Query q:name="Weekly" RetrieveMethod:n32="2">
  <ConditionsRoot q:name="Conditions"><ConditionValues Columnn="Who" Comparator="=" Value="alice"/></ConditionsRoot>
  <node q:name="TimeRange" TimeFrom="2024-03-04T00:00:00Z" TimeTill="2024-03-05T07:09:00Z"/>
</Query>)";

class DataRetrieverTest : public RetrievalTest {
protected:
    ComPtr<CComponentObject<CDataRetriever>> Make(std::string_view config = kRetrieverConfig,
                                                  std::string_view subRequest = kSubRequest)
    {
        return CreateComponent<CDataRetriever>(Tree(subRequest), Tree(config));
    }
    static std::pair<HRESULT, QxNodePtr> Data(IDataRetriever& retriever)
    {
        return HandedOut([&](IQxNode** out) { return retriever.GetData(out); });
    }
};

TEST_F(DataRetrieverTest, TheQueryIsPolledUntilFinishedTheDataIsNamedCountersAndTheHandleIsFreedOnRelease)
{
    queries->SetScript(QueryScript{2, R"(<Result Total:i64="7"><Row Who="alice" Count:i64="7"/></Result>)"});
    auto retriever = Make();
    const auto [hr, data] = Data(*retriever);
    ASSERT_EQ(hr, S_OK);
    EXPECT_EQ(data.GetName(), "Counters");
    EXPECT_EQ(data.GetRequiredAttribute<int64_t>("Total"), 7);
    EXPECT_EQ(data.GetChildCount(), 1u);
    EXPECT_EQ(queries->Count(QueryCallKind::Query), 1u);
    EXPECT_EQ(queries->Count(QueryCallKind::Poll), 3u);

    const auto [again, same] = Data(*retriever);  // the loop never runs twice
    EXPECT_EQ(again, S_OK);
    EXPECT_EQ(same.GetRequiredAttribute<int64_t>("Total"), 7);
    EXPECT_EQ(queries->Count(QueryCallKind::Poll), 3u);

    // Meta information: the method and a copy of the time range.
    const auto [infoHr, info] = HandedOut([&](IQxNode** out) { return retriever->GetMetaInfo(out); });
    ASSERT_EQ(infoHr, S_OK);
    EXPECT_EQ(Canonical(info), Canonical(Tree(R"(
        <MetaInfo q:name="MetaInfo" RetrieveMethod:n32="2">
          <node q:name="TimeRange" TimeFrom="2024-03-04T00:00:00Z" TimeTill="2024-03-05T07:09:00Z"/>
        </MetaInfo>)")));

    EXPECT_EQ(queries->Count(QueryCallKind::Free), 0u);
    retriever.Reset();
    const auto calls = queries->Calls();
    ASSERT_EQ(calls.size(), 5u);
    EXPECT_EQ(calls[0].node.ToText(), Tree(kSubRequest).ToText()) << "the sub-request is sent unchanged";
    EXPECT_EQ(calls[4].kind, QueryCallKind::Free);
    EXPECT_EQ(calls[4].handleId, calls[0].handleId);

    auto bare = Make(kRetrieverConfig, R"(<Query q:name="Bare"/>)");
    IQxNode* raw = nullptr;
    EXPECT_EQ(bare->GetMetaInfo(&raw), kHrNotFound);
    EXPECT_EQ(raw, nullptr);
    ComPtr<IDataRetrieverFactory> notThere;
    EXPECT_EQ(ComPtr<IDataRetriever>(bare.Get()).As(notThere), E_NOINTERFACE);
}

TEST_F(DataRetrieverTest, AFailedQueryIsTheRetrieversErrorWithItsText)
{
    LogCapture log;
    QueryScript script;
    script.errorResult = static_cast<HRESULT>(0x80040E14);
    script.errorSerialized = "0x80040E14 syntax error near WHERE [QueriesProcessor::Run]";
    queries->SetScript(script);
    auto retriever = Make();
    EXPECT_EQ(Data(*retriever).first, static_cast<HRESULT>(0x80040E14));
    EXPECT_EQ(log.Count("Corvane::CDataRetriever::GetData failed: "), 1u);
    EXPECT_EQ(log.Count("syntax error near WHERE"), 1u);
    EXPECT_EQ(retriever->Cancel(), static_cast<HRESULT>(0x80040E14)) << "Cancel shares the stored outcome";
}

TEST_F(DataRetrieverTest, CancelEndsEndlessPollingAndTheHandleIsStillFreed)
{
    queries->SetScript(QueryScript{-1});
    Make().Reset();  // never asked for data: only the release is sent
    EXPECT_EQ(queries->Count(QueryCallKind::Poll), 0u);
    EXPECT_EQ(queries->Count(QueryCallKind::Free), 1u);

    auto retriever = Make();
    auto waiting = std::async(std::launch::async, [&] { return Data(*retriever).first; });
    ASSERT_TRUE(WaitUntil([&] { return queries->Count(QueryCallKind::Poll) >= 3; }));
    EXPECT_EQ(retriever->Cancel(), kHrCancelled);
    EXPECT_EQ(waiting.get(), kHrCancelled);
    const size_t polls = queries->Count(QueryCallKind::Poll);
    retriever.Reset();
    EXPECT_EQ(queries->Count(QueryCallKind::Poll), polls) << "no poll after cancellation";
    EXPECT_EQ(queries->Count(QueryCallKind::Free), 2u);
}

// The answer that ends the query is handed out at once: with a ten minute interval, a wait after it
// would hold GetData until the cancellation below.
TEST_F(DataRetrieverTest, TheFinishingAnswerIsHandedOutWithoutAFurtherWait)
{
    queries->SetScript(QueryScript{0, R"(<Result Total:i64="3"/>)"});
    auto retriever = Make(R"(<node WaitIntervalMs:i64="600000" QueriesProcessorUri="Service.QueriesProcessor"/>)");
    auto waiting = std::async(std::launch::async, [&] { return Data(*retriever); });
    const bool answered = waiting.wait_for(kWaitLimit) == std::future_status::ready;
    if (!answered) retriever->Cancel();  // ends the wait of a loop sleeping after its last answer
    const auto [hr, data] = waiting.get();
    ASSERT_TRUE(answered) << "the retriever waited after the answer that ended the query";
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(data.GetRequiredAttribute<int64_t>("Total"), 3);
    EXPECT_EQ(queries->Count(QueryCallKind::Poll), 1u);
}

TEST_F(DataRetrieverTest, ConstructionFailuresHandOutNoRetriever)
{
    QueryScript nullHandle;
    nullHandle.nullHandle = true;
    queries->SetScript(nullHandle);
    EXPECT_EQ(CodeOf([&] { Make(); }), E_INVALIDARG);

    queries->SetScript(QueryScript{});
    EXPECT_EQ(CodeOf([&] { Make(R"(<node QueriesProcessorUri="Service.QueriesProcessor"/>)"); }), kHrNotFound);
    EXPECT_EQ(CodeOf([&] { Make(R"(<node WaitIntervalMs:i64="1"/>)"); }), kHrNotFound);
    EXPECT_EQ(CodeOf([&] { Make(R"(<node WaitIntervalMs:i64="1" QueriesProcessorUri="Service.Nowhere"/>)"); }),
              kHrNotFound);
    QueryScript refused;
    refused.acceptFailure = E_ACCESSDENIED;
    queries->SetScript(refused);
    EXPECT_EQ(CodeOf([&] { Make(); }), E_ACCESSDENIED);
    EXPECT_EQ(queries->Count(QueryCallKind::Query), 1u) << "only the handle-less query was accepted";
}

TEST_F(DataRetrieverTest, EveryCallCarriesTheCreatingRequestsContextWhateverThreadMakesIt)
{
    queries->SetScript(QueryScript{1});
    const auto context = m_host.RequestContexts()->CreateContext(0, "dashboard");
    GUID requestId{};
    context->GetRequestId(&requestId);
    ComPtr<CComponentObject<CDataRetriever>> captured;
    ComPtr<CComponentObject<CDataRetriever>> uncaptured;
    {
        CRequestContextScope serving(context.Get());
        captured = Make();
        uncaptured = Make(R"(<node WaitIntervalMs:i64="1" QueriesProcessorUri="Service.QueriesProcessor"
                                   CaptureContext:bool="false"/>)");
    }
    std::thread([&] {
        EXPECT_EQ(Data(*captured).first, S_OK);
        EXPECT_EQ(Data(*uncaptured).first, S_OK);
    }).join();
    captured.Reset();
    uncaptured.Reset();
    size_t withContext = 0;
    for (const auto& call : queries->Calls()) {
        if (call.hasContext) {
            EXPECT_EQ(call.contextRequestId, requestId);
            ++withContext;
        }
    }
    EXPECT_EQ(withContext, 4u) << "query, two polls and the release of the capturing retriever";
}

constexpr std::string_view kFactoryConfig = R"(
<node q:name="RetrieverFactory" MetaInfoProviderInstanceName="Test.MetaInfo">
  <node q:name="Retriever" WaitIntervalMs:i64="1" QueriesProcessorUri="Service.QueriesProcessor"/>
  <node q:name="DefaultProcessorsConfig"><node q:name="TagProcessor" Tag="x"/></node>
  <node q:name="RetrieveMethods">
    <node q:name="Standard" RetrieveMethod:i32="2" Processors:strs="TagProcessor"/>
    <node q:name="Fast" RetrieveMethod:i32="1" Processors:strs="TagProcessor|TagProcessor">
      <node q:name="TagProcessor" Tag="f"/>
    </node>
    <node q:name="FastAgain" RetrieveMethod:i32="1" Processors:strs="TagProcessor">
      <node q:name="TagProcessor" Tag="second"/>
    </node>
  </node>
</node>)";

// Made directly: the end-to-end tests make it through the module's class table.
class DataRetrieverFactoryTest : public RetrievalTest {
protected:
    void SetUp() override
    {
        RetrievalTest::SetUp();
        metaInfo = CreateComponent<ScriptedMetaInfoProvider>();
        metaInfo->methodAnswer = R"(<node ResultCode:i32="0" RetrieveMethod:i32="1"/>)";
        m_metaInfoName = std::make_unique<ScopedNamedInstance>("Test.MetaInfo", metaInfo.Get());
        factory = CreateComponent<Corvane::CDataRetrieverFactory>();
    }
    void TearDown() override
    {
        factory.Reset();
        m_metaInfoName.reset();
        metaInfo.Reset();
        RetrievalTest::TearDown();
    }
    HRESULT Configure(std::string_view text = kFactoryConfig) { return factory->Configure(Tree(text).Get()); }
    HRESULT Create(const QxNodePtr& subRequest, ComPtr<IDataRetriever>& retriever)
    {
        return factory->CreateRetriever(subRequest.Get(), retriever.Put());
    }

    ComPtr<CComponentObject<ScriptedMetaInfoProvider>> metaInfo;
    ComPtr<CComponentObject<Corvane::CDataRetrieverFactory>> factory;

private:
    ScopedTagProcessor m_tagProcessor;
    std::unique_ptr<ScopedNamedInstance> m_metaInfoName;
};

TEST_F(DataRetrieverFactoryTest, TheRetrieverGetsAProcessedStampedCopyAndTheCallersNodeStaysAsItWas)
{
    ASSERT_EQ(Configure(), S_OK);
    const QxNodePtr subRequest = Tree(kSubRequest);
    const std::string before = Canonical(subRequest);
    ComPtr<IDataRetriever> retriever;
    ASSERT_EQ(Create(subRequest, retriever), S_OK);
    EXPECT_EQ(Canonical(subRequest), before);

    ASSERT_EQ(metaInfo->methodRequests.size(), 1u);
    EXPECT_EQ(Tree(metaInfo->methodRequests[0]).GetType(), "GetRetrieveMethodRequest");
    const QxNodePtr sent = queries->Calls().at(0).node;
    EXPECT_EQ(sent.GetAttributeOr("Trail", ""), "ff") << "the first chain configured for method 1";
    EXPECT_EQ(sent.GetAttributeOr<int32_t>("RetrieveMethod", 0), 1);
    EXPECT_EQ(sent.GetType(), "Query");

    const auto [hr, info] = HandedOut([&](IQxNode** out) { return retriever->GetMetaInfo(out); });
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(Int(info, "RetrieveMethod"), 1);

    metaInfo->methodAnswer = R"(<node ResultCode:i32="0" RetrieveMethod:i32="2"/>)";
    ASSERT_EQ(Create(subRequest, retriever), S_OK);
    EXPECT_EQ(queries->Calls().back().node.GetAttributeOr("Trail", ""), "x") << "the default configuration";
    retriever.Reset();
    EXPECT_EQ(queries->Count(QueryCallKind::Free), 2u);
}

TEST_F(DataRetrieverFactoryTest, MethodsWithoutAChainAndRefusedQuestionsCreateNoRetriever)
{
    LogCapture log;
    ASSERT_EQ(Configure(), S_OK);
    ComPtr<IDataRetriever> retriever;
    metaInfo->methodAnswer = R"(<node ResultCode:i32="0" RetrieveMethod:i32="7"/>)";
    EXPECT_EQ(Create(Tree(kSubRequest), retriever), kHrInvalidData);
    EXPECT_EQ(log.Count("Invalid retrieve method: 7"), 2u) << "the ERR line and the failure's text";
    EXPECT_FALSE(retriever);

    metaInfo->methodAnswer = R"(<node ResultCode:i32="-2147024883" ErrorSerialized="0x8007000D The fast method is disabled. [x]"/>)";
    EXPECT_EQ(Create(Tree(kSubRequest), retriever), kHrInvalidData);
    EXPECT_EQ(log.Count("The fast method is disabled."), 1u);
    EXPECT_TRUE(queries->Calls().empty());
    EXPECT_EQ(factory->CreateRetriever(nullptr, retriever.Put()), E_POINTER);
}

TEST_F(DataRetrieverFactoryTest, ShutdownEndsEveryProcessorOnceAndLeavesNoMethod)
{
    ASSERT_EQ(Configure(), S_OK);
    EXPECT_EQ(TagProcessor::shutdowns, std::vector<std::string>{"second"}) << "the discarded duplicate chain";
    TagProcessor::shutdowns.clear();
    EXPECT_EQ(factory->Shutdown(), S_OK);
    EXPECT_EQ(TagProcessor::shutdowns, (std::vector<std::string>{"f", "f", "x"}));
    ComPtr<IDataRetriever> retriever;
    EXPECT_EQ(Create(Tree(kSubRequest), retriever), kHrInvalidData);
}

TEST_F(DataRetrieverFactoryTest, IncompleteConfigurationsAreRefusedWhole)
{
    for (const char* child : {"Retriever", "DefaultProcessorsConfig", "RetrieveMethods"}) {
        const QxNodePtr config = Tree(kFactoryConfig);
        config.RemoveChild(config.GetChild(child));
        EXPECT_EQ(Configure(config.ToText()), kHrNotFound) << child;
    }
    EXPECT_EQ(Configure(R"(<node MetaInfoProviderInstanceName="Test.Nobody"><node q:name="Retriever"/>
        <node q:name="DefaultProcessorsConfig"/><node q:name="RetrieveMethods"/></node>)"),
              kHrNotFound);
    EXPECT_EQ(Configure(R"(<node MetaInfoProviderInstanceName="Test.MetaInfo"><node q:name="Retriever"/>
        <node q:name="DefaultProcessorsConfig"/>
        <node q:name="RetrieveMethods"><node RetrieveMethod:i32="1" Processors:strs="Nope"/></node></node>)"),
              kHrInvalidData);
    ComPtr<IDataRetriever> retriever;
    EXPECT_EQ(Create(Tree(kSubRequest), retriever), kHrNotFound) << "nothing of a failed configuration is kept";
}

}  // namespace
}  // namespace cvn::test
