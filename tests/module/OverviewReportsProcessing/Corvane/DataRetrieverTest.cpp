// The queries processor exchange of one sub-request: handle, polls, result or
// error, cancellation, release, captured request context and meta information.
#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "tests/support/OverviewTestSupport.h"
#include "module/OverviewReportsProcessing/Corvane/OverviewCountersRetriever.h"
#include "common/ServiceLayer/RequestContext.h"

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
    ComPtr<CComponentObject<CDataRetriever>> Make(std::string_view config = kRetrieverConfig)
    {
        return CreateComponent<CDataRetriever>(Tree(kSubRequest), Tree(config));
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

    EXPECT_EQ(queries->Count(QueryCallKind::Free), 0u);
    retriever.Reset();
    const auto calls = queries->Calls();
    ASSERT_EQ(calls.size(), 5u);
    EXPECT_EQ(calls[0].node.ToText(), Tree(kSubRequest).ToText()) << "the sub-request is sent unchanged";
    EXPECT_EQ(calls[4].kind, QueryCallKind::Free);
    EXPECT_EQ(calls[4].handleId, calls[0].handleId);
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
    auto retriever = Make();
    auto waiting = std::async(std::launch::async, [&] { return Data(*retriever).first; });
    ASSERT_TRUE(queries->WaitFor(QueryCallKind::Poll, 3, kLimit));
    EXPECT_EQ(retriever->Cancel(), kHrCancelled);
    EXPECT_EQ(waiting.get(), kHrCancelled);
    const size_t polls = queries->Count(QueryCallKind::Poll);
    retriever.Reset();
    EXPECT_EQ(queries->Count(QueryCallKind::Poll), polls) << "no poll after cancellation";
    EXPECT_EQ(queries->Count(QueryCallKind::Free), 1u);
}

TEST_F(DataRetrieverTest, ARetrieverNeverAskedForDataSendsOnlyTheRelease)
{
    queries->SetScript(QueryScript{-1});
    Make().Reset();
    EXPECT_EQ(queries->Count(QueryCallKind::Poll), 0u);
    EXPECT_EQ(queries->Count(QueryCallKind::Free), 1u);
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

TEST_F(DataRetrieverTest, MetaInformationCarriesTheMethodAndACopyOfTheTimeRange)
{
    auto retriever = Make();
    const auto [hr, info] = HandedOut([&](IQxNode** out) { return retriever->GetMetaInfo(out); });
    ASSERT_EQ(hr, S_OK);
    EXPECT_EQ(Canonical(info), Canonical(Tree(R"(
        <MetaInfo q:name="MetaInfo" RetrieveMethod:n32="2">
          <node q:name="TimeRange" TimeFrom="2024-03-04T00:00:00Z" TimeTill="2024-03-05T07:09:00Z"/>
        </MetaInfo>)")));

    auto bare = CreateComponent<CDataRetriever>(Tree(R"(<Query q:name="Bare"/>)"), Tree(kRetrieverConfig));
    IQxNode* raw = nullptr;
    EXPECT_EQ(bare->GetMetaInfo(&raw), kHrNotFound);
    EXPECT_EQ(raw, nullptr);
    ComPtr<IDataRetrieverFactory> notThere;
    EXPECT_EQ(ComPtr<IDataRetriever>(bare.Get()).As(notThere), E_NOINTERFACE);
}

}  // namespace
}  // namespace cvn::test
