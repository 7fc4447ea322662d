// Fast (counters) and standard (records) statements over generated records give
// the same counts, and both equal a hand-written query on the database file:
// groups, IN and NOT IN, presets, a data source's merged products, and a range
// crossing local midnight grouped by local day.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "tests/support/ReportingTestSupport.h"
#include "host/reporting/metrics/MetricsAggregator.h"
#include "host/reporting/query/QueryTranslator.h"
#include "host/reporting/sample/SampleDataGenerator.h"

namespace cvn::reporting::test {
namespace {

constexpr int64_t kEnd = 1772323200;  // 2026-03-01T00:00:00Z


class CountEqualityTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        s_folder = new TempDir;
        s_generator = new SampleDataGenerator({.seed = 7, .records = 20000, .days = 6, .endTime = kEnd});
        s_db = OpenTestDatabase(s_folder->File("c.db"), true).release();
        CreateReportingSchema(*s_db, CountersTableLayoutFromMetrics(Node(kMetrics)));
        s_generator->WriteRecords(*s_db);
        s_translator = new QueryTranslator(Node(kTemplates), s_db->Dialect());
        MetricsAggregator aggregator(*s_db, Node(kMetrics), *s_translator, "overview_records");
        aggregator.Aggregate(kEnd);
        aggregator.Backfill(s_generator->StartTime(), kEnd);
    }
    static std::map<std::string, int64_t> RunTranslated(const std::string& query)
    {
        const TranslatedQuery translated = s_translator->Translate(Node(query));
        return CountedRows(*s_db, translated.sql, translated.parameters);
    }
    static void TearDownTestSuite()
    {
        delete s_translator;
        delete s_db;
        delete s_generator;
        delete s_folder;
    }

    /// The query as the fast chain leaves it: preset, mask and When terms on aliased columns.
    static std::string Fast(uint32_t mask, int preset, const std::string& from, const std::string& till,
                            const std::string& conditions, const std::string& rest, int offset = 0)
    {
        return "<Query Query_Template_Name=\"overview_counters\" DateTimeOffset:i32=\"" + std::to_string(offset) +
               "\" DateTimePart=\"second\"><ConditionsRoot><Condition operator=\"AND\">"
               "<ConditionValues Columnn=\"PresetId\" AliasColumn=\"ConditionId\" Comparator=\"=\" Value:i64=\"" +
               std::to_string(preset) + "\"/><ConditionValues Columnn=\"GroupMask\" AliasColumn=\"Mask\" Comparator=\"=\" Value:i32=\"" +
               std::to_string(mask) + "\"/><ConditionValues Columnn=\"Ts\" AliasColumn=\"When\" Comparator=\"&gt;=\" Value=\"" + from +
               "\"/><ConditionValues Columnn=\"Ts\" AliasColumn=\"When\" Comparator=\"&lt;\" Value=\"" + till + "\"/>" +
               conditions + "</Condition></ConditionsRoot>" + rest + "</Query>";
    }
    /// The query as the standard chain leaves it: logical columns, the preset expanded.
    static std::string Standard(const std::string& from, const std::string& till, const std::string& conditions,
                                const std::string& rest, int offset = 0)
    {
        return "<Query Query_Template_Name=\"overview_records\" DateTimeOffset:i32=\"" + std::to_string(offset) +
               "\"><ConditionsRoot><Condition operator=\"AND\">"
               "<ConditionValues Columnn=\"When\" Comparator=\"&gt;=\" Value=\"" + from +
               "\"/><ConditionValues Columnn=\"When\" Comparator=\"&lt;\" Value=\"" + till + "\"/>" + conditions +
               "</Condition></ConditionsRoot>" + rest + "</Query>";
    }

    static inline TempDir* s_folder = nullptr;
    static inline SampleDataGenerator* s_generator = nullptr;
    static inline IConnection* s_db = nullptr;
    static inline QueryTranslator* s_translator = nullptr;
};

TEST_F(CountEqualityTest, FastStandardAndHandWrittenCountsAgree)
{
    const std::string from = "2026-02-25T03:00:00Z", till = "2026-02-28 17:00:00";
    const int64_t fromSec = 1771988400, tillSec = 1772298000;
    const std::string who2 = R"~(<Condition operator="IN"><ConditionValues Columnn="G3" AliasColumn="Who" Values:strs="%1|%2"/></Condition>)~";
    // Two frequent users and a server, and a data source serving two products, from the data itself.
    auto top = CountedRows(*s_db, R"~(SELECT "Who", COUNT(*) FROM "AuditRecords" GROUP BY 1)~", {});
    std::vector<std::pair<int64_t, std::string>> users;
    for (const auto& [who, count] : top) users.emplace_back(-count, who);
    std::sort(users.begin(), users.end());
    const std::string userA = users.at(0).second, userB = users.at(1).second;
    auto item = [](const std::string& value) {  // one item of a string list in the text form
        std::string text;
        for (char c : value) text += c == '\\' ? "\\\\" : c == '|' ? "\\|" : std::string(1, c);
        return text;
    };
    const SampleDataSource* shared = nullptr;
    for (const SampleDataSource& source : s_generator->DataSources())
        if (source.productIds.size() >= 2) shared = &source;
    ASSERT_NE(shared, nullptr);
    std::string products;
    for (const std::string& id : shared->productIds) products += (products.empty() ? "" : "|") + id;

    struct Case {
        const char* what;
        std::string fast, standard, hand;
        std::vector<SqlValue> handParams;
    };
    auto groupBy = [](const std::string& column, const std::string& logical) {
        return "<GroupByRoot><GroupByRootEntry Column=\"" + column + "\" AliasColumn=\"" + logical + "\"/></GroupByRoot>";
    };
    auto in = [](const std::string& op, const std::string& column, const std::string& alias, const std::string& values) {
        return "<Condition operator=\"" + op + "\"><ConditionValues Columnn=\"" + column + "\"" +
               (alias.empty() ? "" : " AliasColumn=\"" + alias + "\"") + " Values:strs=\"" + values + "\"/></Condition>";
    };
    const std::vector<Case> cases = {
        {"grouped by user", Fast(0xF, 1, from, till, "", groupBy("G3", "Who")), Standard(from, till, "", groupBy("Who", "Who")),
         R"~(SELECT "Who", COUNT(*) FROM "AuditRecords" WHERE "When" >= ?1 AND "When" < ?2 GROUP BY 1)~", {fromSec, tillSec}},
        {"IN users and NOT IN a server, grouped by server",
         Fast(0xF, 1, from, till, in("IN", "G3", "Who", item(userA) + "|" + item(userB)) + in("NOT IN", "G4", "Where", "srv-none|" + item(userA)),
              groupBy("G4", "Where")),
         Standard(from, till, in("IN", "Who", "", item(userA) + "|" + item(userB)) + in("NOT IN", "Where", "", "srv-none|" + item(userA)),
                  groupBy("Where", "Where")),
         R"~(SELECT "Where", COUNT(*) FROM "AuditRecords" WHERE "When" >= ?1 AND "When" < ?2 AND "Who" IN (?3, ?4)
             AND "Where" NOT IN ('srv-none', ?3) GROUP BY 1)~", {fromSec, tillSec, userA, userB}},
        {"preset of deletions, grouped by object", Fast(0x4D, 2, from, till, "", groupBy("G4", "What")),
         Standard(from, till, R"~(<Condition operator="AND"><ConditionValues Columnn="What_Action" Comparator="=" Value="Removed"/></Condition>)~",
                  groupBy("What", "What")),
         R"~(SELECT "What", COUNT(*) FROM "AuditRecords" WHERE "When" >= ?1 AND "When" < ?2 AND "What_Action" = 'Removed' GROUP BY 1)~",
         {fromSec, tillSec}},
        {"a data source's products, merged", Fast(0xF, 1, from, till, in("IN", "G2", "ProductId", products), ""),
         Standard(from, till, in("IN", "ProductId", "", products), ""),
         R"~(SELECT COUNT(*) FROM "AuditRecords" WHERE "When" >= ?1 AND "When" < ?2 AND "DataSource" = ?3)~",
         {fromSec, tillSec, shared->idText}},
        {"local days across midnight at UTC-5",
         Fast(0xF, 1, "2026-02-26T01:00:00Z", "2026-02-26T09:00:00Z", "", groupBy("Ts", "When"), -18000),
         Standard("2026-02-26T01:00:00Z", "2026-02-26T09:00:00Z", "", groupBy("When", "When"), -18000),
         R"~(SELECT ("When" - 18000) / 86400 * 86400, COUNT(*) FROM "AuditRecords" WHERE "When" >= ?1 AND "When" < ?2 GROUP BY 1)~",
         {int64_t{1772067600}, int64_t{1772096400}}},
    };
    for (const Case& item : cases) {
        SCOPED_TRACE(item.what);
        std::map<std::string, int64_t> fast, standard;
        ASSERT_EQ("", ThrownBy([&] { fast = RunTranslated(item.fast), standard = RunTranslated(item.standard); }).text);
        const auto hand = CountedRows(*s_db, item.hand, item.handParams);
        EXPECT_GE(hand.size(), 1u);
        EXPECT_EQ(fast, hand);
        EXPECT_EQ(standard, hand);
    }
    EXPECT_EQ(CountedRows(*s_db, cases[4].hand, cases[4].handParams).size(), 2u);  // the range does cross local midnight
}

}  // namespace
}  // namespace cvn::reporting::test
