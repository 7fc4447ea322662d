// The retriever factory: method question, the method's chain over a copy,
// the stamped copy at the queries processor, configuration and shutdown.
#include <gtest/gtest.h>

#include "module/OverviewReportsProcessing/Corvane/DataRetrieverFactory.h"
#include "tests/support/OverviewTestSupport.h"

namespace cvn::test {
namespace {

using namespace OverviewReportsProcessing;
using host::QueryCallKind;

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

constexpr std::string_view kSubRequest = R"(
<Query q:name="A" Scope="all">
  <node q:name="TimeRange" TimeFrom="2024-03-04T00:00:00Z" TimeTill="2024-03-05T00:00:00Z"/>
</Query>)";

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
