// The configured queries processor as the host runs it: registered under its
// Uri, translating module-shaped queries with the real translator, answering
// counts and the stale records check's presence query.
#include <gtest/gtest.h>

#include "tests/support/ReportingTestSupport.h"
#include "host/reporting/processor/QueriesProcessorService.h"

namespace cvn::reporting::test {
namespace {

constexpr const char* kConfig = R"~(<nr>
<QueriesProcessor Uri="Service.Reporting" DatabasePath="%PATH%" Workers:i32="2">
  <node q:name="QueryTemplates">
    <node q:name="overview_standard" Table="AuditRecords" CountExpression="COUNT(*)" TimeColumn="When"
        AuditingSystemColumn="AuditingSystem"
        Columns:strs="When|ProductId|AuditingSystem|DataSource|ManagedObjectUId|ManagedObject|Who|Where|ObjectType|What_Action|What"/>
    <node q:name="query_top_data_no_order" Table="AuditRecords" Select:strs="When" TimeColumn="When"
        AuditingSystemColumn="AuditingSystem" Columns:strs="When|AuditingSystem"/>
  </node>
</QueriesProcessor></nr>)~";

class QueriesProcessorServiceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        MakeSmallDatabase(m_path);
        std::string config = kConfig;
        config.replace(config.find("%PATH%"), 6, m_path);
        m_processor = RegisterQueriesProcessor(*m_client, Node(config));
        ASSERT_EQ(S_OK, m_client->CreateProxy(u"Service.Reporting", 0, &IServiceProxy::kIid, m_proxy.PutVoid()));
        ComPtr<IComponentWithShutdown> shutdown;  // the host stops it through its proxy
        ASSERT_EQ(S_OK, m_proxy->QueryInterface(&IComponentWithShutdown::kIid, shutdown.PutVoid()));
    }
    void TearDown() override
    {
        if (m_processor) m_processor->Shutdown();
    }

    // Sends the query, polls to the end, frees the handle and returns the final answer.
    QxNodePtr Run(const std::string& query)
    {
        QxNodePtr handle;
        EXPECT_EQ(S_OK, m_proxy->ProcessRequest(Node(query).Get(), handle.Reset()));
        const QxNodePtr answer = PollUntil(m_proxy.Get(), handle);
        handle.SetAttribute("FreeResult", true);
        QxNodePtr freed;
        EXPECT_EQ(S_OK, m_proxy->ProcessRequest(handle.Get(), freed.Reset()));
        return answer;
    }

    TempDir m_dir;
    std::string m_path = m_dir.File("reporting.db");
    ComPtr<CComponentObject<host::CServiceClient>> m_client = CreateComponent<host::CServiceClient>();
    ComPtr<CComponentObject<CQueriesProcessor>> m_processor;
    ComPtr<IServiceProxy> m_proxy;
};

TEST_F(QueriesProcessorServiceTest, StandardMethodQueryCountsByTheGroupedColumns)
{
    const QxNodePtr answer =
        Run(R"~(<nr><Query q:name="Sub1" Query_Template_Name="overview_standard" RetrieveMethod:i32="2">
      <ConditionsRoot q:name="Conditions"><Condition operator="AND">
        <ConditionValues Columnn="When" Comparator="&gt;=" Value="2026-01-01 00:00:00"/>
        <ConditionValues Columnn="When" Comparator="&lt;" Value="2026-01-02 00:00:00"/>
        <Condition operator="IN"><ConditionValues Columnn="ProductId" Values:strs="101|102|103"/></Condition>
      </Condition></ConditionsRoot>
      <SortingRoot q:name="SortingRoot"><SortingEntry Column="Count" Order="DESC"/><SortingEntry Column="Who" Order="ASC"/></SortingRoot>
      <GroupByRoot q:name="GroupByRoot"><GroupByRootEntry Column="Who"/><GroupByRootEntry Column="ProductId"/></GroupByRoot>
      <node q:name="TimeRange" TimeFrom="2026-01-01T00:00:00Z" TimeTill="2026-01-02T00:00:00Z"/>
    </Query></nr>)~");
    ASSERT_EQ(0, answer.GetAttributeOr<int32_t>("Error_Result", 0)) << answer.GetAttributeOr("Error_Serialized", "");
    ASSERT_EQ(3u, answer.GetChildCount()) << answer.ToText();
    const QxNodePtr first = answer.GetChild(uint64_t{0});
    EXPECT_EQ("alice", first.GetRequiredAttribute<std::string>("Who"));
    EXPECT_EQ("101", first.GetRequiredAttribute<std::string>("ProductId"));
    EXPECT_EQ(2, first.GetRequiredAttribute<int64_t>("Count"));
    int64_t total = 0;
    for (const QxNodePtr& row : answer.GetChildren()) total += row.GetRequiredAttribute<int64_t>("Count");
    EXPECT_EQ(5, total);
}

TEST_F(QueriesProcessorServiceTest, PresenceQueryAnswersOneRowUnlessItsSystemsAreSuppressed)
{
    const std::string presence = R"~(<nr><Query Page_size:i32="1" Top:i32="1" Paged_result:bool="true"
        Stateless:bool="false" Continuous:bool="false" PersistentMembership:bool="false"
        Query_Template_Name="query_top_data_no_order" Suppressed_Auditing_systems:i32s="%SUPPRESSED%">
      <ConditionsRoot q:name="Conditions"><Condition q:name="Condition" operator="AND">
        <ConditionValues Columnn="When" Value="2025-12-31 00:00:00" Comparator="&gt;="/>
        <ConditionValues Columnn="When" Value="2026-01-01 00:30:00" Comparator="&lt;="/>
      </Condition></ConditionsRoot></Query></nr>)~";
    const auto run = [&](const std::string& suppressed) {
        std::string text = presence;
        text.replace(text.find("%SUPPRESSED%"), 12, suppressed);
        return Run(text);
    };
    const QxNodePtr found = run("3");
    ASSERT_EQ(0, found.GetAttributeOr<int32_t>("Error_Result", 0)) << found.GetAttributeOr("Error_Serialized", "");
    EXPECT_EQ(1u, found.GetChildCount()) << found.ToText();
    EXPECT_EQ(0u, run("1|2").GetChildCount()) << "the window holds only systems 1 and 2";
}

}  // namespace
}  // namespace cvn::reporting::test
