// Translation rules: each filter shape gives the expected statement and bound
// values; bad templates, columns, operators, comparators and values are refused
// with a message naming them; values never reach the SQL text.
#include <gtest/gtest.h>

#include "host/reporting/query/QueryTranslator.h"
#include "host/reporting/query/QueryValues.h"
#include "tests/support/ReportingTestSupport.h"

namespace cvn::reporting::test {
namespace {

std::string Params(const std::vector<SqlValue>& values)
{
    std::string text;
    for (const SqlValue& value : values) {
        text += text.empty() ? "" : ",";
        if (const auto* number = std::get_if<int64_t>(&value)) text += std::to_string(*number);
        if (const auto* string = std::get_if<std::string>(&value)) text += "'" + *string + "'";
    }
    return text;
}

class QueryTranslatorTest : public ::testing::Test {
protected:
    TempDir m_folder;
    std::unique_ptr<IConnection> m_db = OpenTestDatabase(m_folder.File("t.db"), true);
    QueryTranslator m_translator{Tree(kTemplates), m_db->Dialect()};
};

struct Case {
    const char* what;
    const char* query;
    const char* sql;
    const char* params;
};

TEST_F(QueryTranslatorTest, FilterShapesBecomeStatementsWithBoundValues)
{
    const Case cases[] = {
        {"comparators, AND and OR, time texts in both forms",
         R"~(<Query Query_Template_Name="overview_records"><ConditionsRoot q:name="Conditions">
              <Condition operator="AND">
                <ConditionValues Columnn="When" Comparator=">=" Value="2026-03-01T00:00:00Z"/>
                <ConditionValues Columnn="When" Comparator="&lt;" Value="2026-03-02 00:00:00"/>
                <Condition operator="OR">
                  <ConditionValues Columnn="Who" Comparator="&lt;&gt;" Value="bob"/>
                  <ConditionValues Columnn="AuditingSystem" Comparator="&lt;=" Value:i32="7"/>
                  <ConditionValues Columnn="Id" Comparator="&gt;" Value:i64="5"/>
                </Condition>
              </Condition></ConditionsRoot></Query>)~",
         R"~(SELECT COUNT(*) AS "Count" FROM "AuditRecords" AS "t" WHERE (("t"."When" >= ?1 AND "t"."When" < ?2 AND ("t"."Who" <> ?3 OR "t"."AuditingSystem" <= ?4 OR "t"."Id" > ?5))))~",
         "1772323200,1772409600,'bob',7,5"},
        {"IN and NOT IN over strings, integers and GUIDs; empty lists",
         R"~(<Query Query_Template_Name="overview_records"><ConditionsRoot q:name="Conditions">
              <Condition operator="IN"><ConditionValues Columnn="Who" Values:strs="a|b"/></Condition>
              <Condition operator="NOT IN"><ConditionValues Columnn="AuditingSystem" Values:i32s="3|4"/></Condition>
              <Condition operator="IN"><ConditionValues Columnn="ManagedObjectUId"
                  Values:guids="{0a1b2c3d-0000-4000-8000-00000000abcd}"/></Condition>
              <Condition operator="IN"><ConditionValues Columnn="ProductId" Value:guid="{0a1b2c3d-0000-4000-8000-00000000abce}"/></Condition>
              <Condition operator="IN"><ConditionValues Columnn="Where" Values:strs=""/></Condition>
              <Condition operator="NOT IN"><ConditionValues Columnn="Where" Values:strs=""/></Condition>
            </ConditionsRoot></Query>)~",
         R"~(SELECT COUNT(*) AS "Count" FROM "AuditRecords" AS "t" WHERE ("t"."Who" IN (?1, ?2) AND "t"."AuditingSystem" NOT IN (?3, ?4) AND "t"."ManagedObjectUId" IN (?5) AND "t"."ProductId" IN (?6) AND 1=0 AND 1=1))~",
         "'a','b',3,4,'{0A1B2C3D-0000-4000-8000-00000000ABCD}','{0A1B2C3D-0000-4000-8000-00000000ABCE}'"},
        {"aliased counters: grouping by result names, sorting by count, limit is the smaller of Top and Page_size",
         R"~(<Query Query_Template_Name="overview_counters" Top:i32="50" Page_size:i32="20">
              <ConditionsRoot q:name="Conditions"><Condition operator="AND">
                <ConditionValues Columnn="GroupMask" AliasColumn="Mask" Comparator="=" Value:i32="13"/>
                <ConditionValues Columnn="Ts" AliasColumn="When" Comparator="&gt;=" Value="2026-03-01T05:00:00Z"/>
              </Condition></ConditionsRoot>
              <SortingRoot q:name="SortingRoot"><SortingEntry Column="Count" Order="DESC"/>
                <SortingEntry Column="G2" AliasColumn="Who" Order="asc"/></SortingRoot>
              <GroupByRoot q:name="GroupByRoot"><GroupByRootEntry Column="G2" AliasColumn="Who"/>
                <GroupByRootEntry Column="G3" AliasColumn="Where"/></GroupByRoot></Query>)~",
         R"~(SELECT "t"."G2" AS "Who", "t"."G3" AS "Where", SUM(t."Cnt") AS "Count" FROM "OverviewCounters" AS "t" WHERE (("t"."GroupMask" = ?1 AND "t"."Ts" >= ?2)) GROUP BY "t"."G2", "t"."G3" ORDER BY "Count" DESC, "t"."G2" ASC LIMIT 20)~",
         "13,1772341200"},
        {"grouping by time: days of local time by DateTimeOffset in seconds",
         R"~(<Query Query_Template_Name="overview_records" DateTimeOffset:i32="-18000" DateTimePart="second">
              <GroupByRoot q:name="GroupByRoot"><GroupByRootEntry Column="When"/></GroupByRoot>
              <SortingRoot q:name="SortingRoot"><SortingEntry Column="When"/></SortingRoot></Query>)~",
         R"~(SELECT (("t"."When" + -18000) / 86400 * 86400) AS "When", COUNT(*) AS "Count" FROM "AuditRecords" AS "t" GROUP BY (("t"."When" + -18000) / 86400 * 86400) ORDER BY (("t"."When" + -18000) / 86400 * 86400) ASC)~",
         ""},
        {"presence query: rows, suppressed auditing systems, one row",
         R"~(<Query Query_Template_Name="query_top_data_no_order" Top:n32="1" Page_size:n32="1"
                Suppressed_Auditing_systems:i32s="9|12"><ConditionsRoot q:name="Conditions">
              <Condition q:name="Condition" operator="AND">
                <ConditionValues Columnn="When" Comparator="&gt;=" Value="2026-02-28 00:00:00"/>
                <ConditionValues Columnn="When" Comparator="&lt;=" Value="2026-03-01 00:00:00"/>
              </Condition></ConditionsRoot></Query>)~",
         R"~(SELECT "t"."Id" FROM "AuditRecords" AS "t" WHERE (("t"."When" >= ?1 AND "t"."When" <= ?2)) AND "t"."AuditingSystem" NOT IN (?3, ?4) LIMIT 1)~",
         "1772236800,1772323200,9,12"},
        {"JoinIndex reaches the joined table, which joins only when used",
         R"~(<Query Query_Template_Name="records_by_plan"><ConditionsRoot q:name="Conditions">
              <ConditionValues Columnn="p.Name" AliasColumn="ManagedObject" JoinIndex:i64="2" Comparator="=" Value="Plan A"/>
            </ConditionsRoot>
            <GroupByRoot q:name="GroupByRoot"><GroupByRootEntry Column="Owner" JoinIndex:i64="2"/></GroupByRoot></Query>)~",
         R"~(SELECT "p"."Owner" AS "Owner", COUNT(*) AS "Count" FROM "AuditRecords" AS "t" LEFT JOIN "Plans" AS "p" ON p."Uid" = t."ManagedObjectUId" WHERE ("p"."Name" = ?1) GROUP BY "p"."Owner")~",
         "'Plan A'"},
    };
    for (const Case& item : cases) {
        SCOPED_TRACE(item.what);
        const TranslatedQuery query = m_translator.Translate(Tree(item.query));
        EXPECT_EQ(query.sql, item.sql);
        EXPECT_EQ(Params(query.parameters), item.params);
    }
    const auto limited = m_translator.Translate(Tree(cases[2].query));
    EXPECT_EQ(limited.rowLimit, 20);
    EXPECT_EQ(limited.rowAttributes, (std::vector<std::string>{"Who", "Where", "Count"}));
}

TEST_F(QueryTranslatorTest, BadInputIsRefusedNamingWhatIsWrong)
{
    const auto where = [](const std::string& conditions, const std::string& templateName = "overview_records") {
        return "<Query Query_Template_Name=\"" + templateName + "\"><ConditionsRoot>" + conditions +
               "</ConditionsRoot></Query>";
    };
    const std::pair<std::string, const char*> cases[] = {
        {R"~(<Query/>)~", "no \"Query_Template_Name\""},
        {R"~(<Query Query_Template_Name="nope"/>)~", "unknown query template 'nope'"},
        {where(R"~(<ConditionValues Columnn="Who&quot; OR 1=1 --" Comparator="=" Value="x"/>)~"),
         "column 'Who\" OR 1=1 --' is not a column of query template 'overview_records'"},
        {where(R"~(<ConditionValues Columnn="Who" Comparator="=" Value="x"/>)~", "overview_counters"),
         "column 'Who' is not a column of query template 'overview_counters'"},
        {where(R"~(<Condition operator="XOR"/>)~"), "unknown operator 'XOR'"},
        {where(R"~(<ConditionValues Columnn="Who" Comparator="LIKE" Value="%"/>)~"),
         "unknown comparator 'LIKE' on column 'Who'"},
        {where(R"~(<ConditionValues Columnn="Who" Comparator="=" Values:strs="a|b"/>)~"),
         "a list of values on column 'Who' needs an IN or NOT IN condition"},
        {where(R"~(<ConditionValues Columnn="When" Comparator="&gt;=" Value="yesterday"/>)~"),
         "value 'yesterday' of column 'When' is not a time text"},
        {where(R"~(<ConditionValues Columnn="When" Comparator="&gt;=" Value="2026-02-30T00:00:00Z"/>)~"),
         "value '2026-02-30T00:00:00Z' of column 'When' is not a time text"},
        {where(R"~(<ConditionValues Columnn="Who" Comparator="=" Value:bool="true"/>)~"),
         "\"Value\" of column 'Who' has unsupported type 0x7"},
        {where(R"~(<ConditionValues Columnn="Who" AliasColumn="Who" JoinIndex:i64="1" Comparator="=" Value="x"/>)~"),
         "query template 'overview_records' defines no joins, but column 'Who' has JoinIndex 1"},
        {where(R"~(<ConditionValues Columnn="p.Secret" JoinIndex:i64="2" Comparator="=" Value="x"/>)~", "records_by_plan"),
         "column 'p.Secret' is not a column of join 2 of query template 'records_by_plan'"},
        {R"~(<Query Query_Template_Name="overview_counters" Suppressed_Auditing_systems:i32s="3"/>)~",
         "query template 'overview_counters' has no auditing system column"},
        {R"~(<Query Query_Template_Name="overview_records"><SortingRoot><SortingEntry Column="Who"/></SortingRoot></Query>)~",
         "sorting column 'Who' is not grouped"},
        {R"~(<Query Query_Template_Name="overview_records"><SortingRoot><SortingEntry Column="Count" Order="RANDOM()"/></SortingRoot></Query>)~",
         "unknown sorting order 'RANDOM()' on column 'Count'"},
        {R"~(<Query Query_Template_Name="query_top_data_no_order"><SortingRoot><SortingEntry Column="Id"/></SortingRoot></Query>)~",
         "returns unordered rows; grouping and sorting are not allowed"},
        {R"~(<Query Query_Template_Name="overview_records" Top:i32="0"/>)~", "\"Top\" must be positive, not 0"},
        {R"~(<Query Query_Template_Name="overview_records" DateTimeOffset:i32="1" DateTimePart="week"/>)~",
         "unknown \"DateTimePart\" 'week'"},
    };
    for (const auto& [query, message] : cases) {
        SCOPED_TRACE(query);
        const std::string failure = ThrownBy([&] { m_translator.Translate(Tree(query)); }).text;
        EXPECT_EQ(failure.substr(0, 11), "0x8007000D ");
        EXPECT_NE(failure.find(message), std::string::npos) << failure;
    }
}

TEST_F(QueryTranslatorTest, BadTemplatesAreRefusedAtConstruction)
{
    const std::pair<const char*, const char*> cases[] = {
        {R"~(<QueryTemplates/>)~", "no query templates are configured"},
        {R"~(<QueryTemplates><Template q:name="a" Columns:strs="x" CountExpression="COUNT(*)"/></QueryTemplates>)~",
         "query template 'a': \"Table\" is missing or empty"},
        {R"~(<QueryTemplates><Template q:name="a" Table="T" Columns:strs="x"/></QueryTemplates>)~",
         "exactly one of \"CountExpression\" and \"Select\" must be given"},
        {R"~(<QueryTemplates><Template q:name="a" Table="T" Columns:strs="x" CountExpression="COUNT(*)" TimeColumn="y"/></QueryTemplates>)~",
         "\"TimeColumn\" 'y' is not in \"Columns\""},
        {R"~(<QueryTemplates><Template q:name="a" Table="T" Columns:strs="x" CountExpression="COUNT(*)">
             <Join Index:i64="1" Table="U" Alias="u" Columns:strs="y" On="1=1" Type="CROSS"/></Template></QueryTemplates>)~",
         "query template 'a' join 1: \"Type\" must be INNER or LEFT, not 'CROSS'"},
    };
    for (const auto& [templates, message] : cases) {
        SCOPED_TRACE(templates);
        const std::string failure = ThrownBy([&] { QueryTranslator(Tree(templates), m_db->Dialect()); }).text;
        EXPECT_NE(failure.find(message), std::string::npos) << failure;
    }
}

TEST_F(QueryTranslatorTest, ValuesStayParametersAndMatchLiterally)
{
    m_db->Execute(R"~(CREATE TABLE "AuditRecords" ("Id" INTEGER PRIMARY KEY, "When" INTEGER, "Who" TEXT);
        INSERT INTO "AuditRecords" ("When", "Who") VALUES (1, 'alice'), (2, 'x'' OR ''1''=''1'), (3, 'bob');)~");
    for (const auto& [value, expected] : std::vector<std::pair<std::string, int64_t>>{
             {"x' OR '1'='1", 1}, {"alice'; DROP TABLE \"AuditRecords\"; --", 0}, {"alice", 1}}) {
        const QxNodePtr query = Tree(R"~(<Query Query_Template_Name="overview_records"><ConditionsRoot>
            <ConditionValues Columnn="Who" Comparator="="/></ConditionsRoot></Query>)~");
        query.GetChild(0).GetChild(0).SetAttribute("Value", value);
        const TranslatedQuery translated = m_translator.Translate(query);
        EXPECT_EQ(translated.sql.find(value), std::string::npos);
        EXPECT_EQ(ScalarOf(*m_db, translated.sql, translated.parameters), expected) << value;
    }
    EXPECT_EQ(ScalarOf(*m_db, R"~(SELECT COUNT(*) FROM "AuditRecords")~"), 3);
}

TEST_F(QueryTranslatorTest, PresetConditionsTranslateAsFragments)
{
    std::vector<SqlValue> params{int64_t{1}};
    const std::string sql = m_translator.TranslateCondition(
        Tree(R"~(<Condition q:name="Deletes" operator="AND" PresetConditionId:i64="2">
                  <ConditionValues Columnn="What_Action" Comparator="=" Value="Removed"/></Condition>)~"),
        "overview_records", params);
    EXPECT_EQ(sql, R"~(("t"."What_Action" = ?2))~");
    EXPECT_EQ(Params(params), "1,'Removed'");
    EXPECT_EQ(m_translator.TranslateCondition(Tree(R"~(<Condition operator="AND"/>)~"), "overview_records", params), "1=1");
    const std::string failure = ThrownBy([&] {
        m_translator.TranslateCondition(Tree(R"~(<ConditionValues Columnn="Status" Comparator="=" Value="x"/>)~"),
                                        "overview_records", params);
    }).text;
    EXPECT_NE(failure.find("column 'Status' is not a column"), std::string::npos) << failure;
    EXPECT_EQ(params.size(), 2u);  // a failed fragment leaves the parameters as they were
}

TEST(QueryValuesTest, TimeTextsRoundTripAndRefuseNearMisses)
{
    EXPECT_EQ(ParseTimeText("1970-01-01T00:00:00Z"), 0);
    EXPECT_EQ(ParseTimeText("2024-02-29 23:59:59"), 1709251199);
    EXPECT_EQ(FormatUtcTime(1709251199), "2024-02-29T23:59:59Z");
    for (const char* bad : {"2024-02-29T23:59:59", "2024-13-01 00:00:00", "2024-01-01 24:00:00", "2024-01-01X00:00:00Z",
                            "2024-1-01 00:00:000", " 2024-01-01 00:00:00"})
        EXPECT_FALSE(ParseTimeText(bad).has_value()) << bad;
}

}  // namespace
}  // namespace cvn::reporting::test
