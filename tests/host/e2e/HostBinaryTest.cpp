// corvane-host end to end: the command line, the shipped configuration, the
// default dashboard on generated data checked against hand-written SQL, and a
// stop signal during polls.
#include <gtest/gtest.h>
#include <signal.h>

#include <map>
#include <set>

#include "common/Helpers/PrimitiveText.h"
#include "common/NodeAccess/QxNodePtr.h"
#include "host/reporting/query/QueryValues.h"
#include "host/reporting/sample/SampleDataGenerator.h"
#include "host/reporting/storage/Storage.h"
#include "tests/support/HostProcess.h"
#include "tests/support/ReportingTestSupport.h"

namespace cvn::test {
namespace {

using reporting::SqlValue;

std::vector<std::string> Args(const std::string& dataDir, std::vector<std::string> rest)
{
    rest.insert(rest.begin(), {"--data-dir", dataDir});
    return rest;
}

TEST(HostCommandLine, HelpUsageErrorsAndBadRequestFiles)
{
    const HostRun help = RunHost({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("usage: corvane-host"), std::string::npos);

    const TempDir dir;
    const struct {
        std::vector<std::string> args;
        std::string message;
        std::string input = "<RetrieveCountersRequest";
    } cases[] = {
        {{}, "no command given"},
        {{"fly"}, "unknown command 'fly'"},
        {{"request"}, "request needs a request file"},
        {{"--records", "ten", "generate"}, "--records needs a whole number"},
        {{"--bogus", "demo"}, "unknown option '--bogus'"},
        {{"request", dir.File("absent.xml")}, "cannot read '" + dir.File("absent.xml") + "'"},
        {{"request", "-"}, "is not one node in the text form"},
        {{"request", "-"},
         "attribute 'PartialResult' is \"yes\", not a boolean",
         R"(<RetrieveCountersRequest PartialResult="yes"><RetrieveCountersSubRequest/></RetrieveCountersRequest>)"},
    };
    for (const auto& c : cases) {
        const HostRun run = RunHost(Args(dir.Path(), c.args), c.input);
        EXPECT_EQ(run.exitCode, 2) << c.message << "\n" << run.err;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    }
    const HostRun badConfig = RunHost({"--config", dir.File("none.cfg.xml"), "generate"});
    EXPECT_EQ(badConfig.exitCode, 3);
    EXPECT_NE(badConfig.err.find("none.cfg.xml"), std::string::npos) << badConfig.err;

    // A component refusing its configuration: the message names what it missed.
    const std::string noMapping =
        CopyShippedConfiguration(dir, {{"q:name=\"DataSourceMapping\"", "q:name=\"SourceMapping\""}});
    const HostRun refused =
        RunHost({"--config", noMapping, "--data-dir", dir.File("data"), "request", HostConfigDir() + "/dashboard.xml"});
    EXPECT_EQ(refused.exitCode, 3);
    EXPECT_NE(refused.err.find("refused its configuration: 0x80070490 Element not found: child 'DataSourceMapping'"),
              std::string::npos)
        << refused.err;
}

TEST(HostShippedConfiguration, DataSourcesAndPlansAreThoseOfTheSampleData)
{
    const auto joined = [](const std::vector<std::string>& ids) {
        std::string text;
        for (const std::string& id : ids) text += id + ",";
        return text;
    };
    const reporting::SampleDataGenerator generator(reporting::SampleDataOptions{.records = 0});
    const QxNodePtr host = QxNodePtr::Parse(ReadFile(HostConfigDir() + "/host.cfg.xml"));
    std::set<std::string> shipped, expected;
    for (const QxNodePtr& source :
         host.FindByPath("Components\\Corvane.Gate\\Configuration\\DataSourceMapping", 2).GetChildren())
        shipped.insert(GuidToText(source.GetRequiredAttribute<GUID>("DataSource")) + "=" +
                       joined(source.GetRequiredAttribute<std::vector<std::string>>("ProductIds")));
    for (const auto& source : generator.DataSources()) expected.insert(source.idText + "=" + joined(source.productIds));
    EXPECT_EQ(shipped, expected);

    QxNodePtr plans;
    for (const QxNodePtr& top : QxNodePtr::ParseAll(ReadFile(HostConfigDir() + "/config-store.xml")))
        if (top.GetName() == "Settings") plans = top.GetChild("MonitoringPlans");
    ASSERT_TRUE(plans);
    std::set<std::string> shippedPlans, expectedPlans;
    for (const QxNodePtr& plan : plans.GetChildren()) shippedPlans.insert(plan.GetName() + "=" + plan.GetAttributeOr("Name", ""));
    for (const auto& plan : generator.Plans()) expectedPlans.insert(plan.uidText + "=" + plan.name);
    EXPECT_EQ(shippedPlans, expectedPlans);
}

class HostDashboard : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        const HostRun generated = RunHost(Args(Dir(), {"--records", "4000", "generate"}));
        ASSERT_EQ(generated.exitCode, 0) << generated.err;
        const HostRun aggregated = RunHost(Args(Dir(), {"aggregate"}));
        ASSERT_EQ(aggregated.exitCode, 0) << aggregated.err;
    }
    static const std::string& Dir()
    {
        static const TempDir dir;
        return dir.Path();
    }
    static uint32_t LastCode(const HostRun& run)  // of a failed last answer
    {
        const std::vector<QxNodePtr> answers = QxNodePtr::ParseAll(run.out);
        if (answers.empty()) return 0;
        EXPECT_EQ(answers.back().GetAttributeOr<int32_t>("RetrieveStatus", -1), 2);
        return answers.back().GetAttributeOr<uint32_t>("ResultCode", 0);
    }

    /// Sends the dashboard (with the retrieve method forced when method is not 0) and checks every row
    /// against SQL; returns how many sub-responses each method served.
    static std::map<std::string, int> CheckDashboard(int method);
};

TEST_F(HostDashboard, BothMethodsCountAsHandWrittenSql)
{
    const HostRun demo = RunHost(Args(Dir(), {"--top", "2", "demo"}));  // switches the fast method on, for good
    ASSERT_EQ(demo.exitCode, 0) << demo.err;
    EXPECT_NE(demo.out.find("Fast method: on"), std::string::npos) << demo.out;
    EXPECT_NE(demo.out.find("Reusing the sample database"), std::string::npos) << demo.out;
    EXPECT_NE(demo.out.find("== ChangesByWho  [fast, "), std::string::npos) << demo.out;

    EXPECT_EQ(CheckDashboard(2), (std::map<std::string, int>{{"standard", 8}}));
    EXPECT_EQ(CheckDashboard(0), (std::map<std::string, int>{{"fast", 8}})) << "the module chooses it: the metrics hold a group for every sub-request";
}

std::map<std::string, int> HostDashboard::CheckDashboard(int method)
{
    std::string text = ReadFile(HostConfigDir() + "/dashboard.xml");
    if (method != 0) text.insert(text.find("PartialResult"), "RetrieveMethod:i32=\"" + std::to_string(method) + "\" ");
    const HostRun run = RunHost(Args(Dir(), {"request", "-"}), text);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    std::map<std::string, int> methods;
    const std::vector<QxNodePtr> answers = QxNodePtr::ParseAll(run.out);
    EXPECT_GE(answers.size(), 2u) << "results come after the first answer";
    if (answers.size() < 2) return methods;
    const QxNodePtr& last = answers.back();
    EXPECT_EQ(last.GetAttributeOr<int32_t>("RetrieveStatus", -1), 1);

    const QxNodePtr range = last.GetChild("TimeRange");
    const int64_t from = *reporting::ParseTimeText(range.GetRequiredAttribute<std::string>("TimeFrom"));
    const int64_t till = *reporting::ParseTimeText(range.GetRequiredAttribute<std::string>("TimeTill"));
    const auto db = reporting::OpenStorage(reporting::StorageSettingsForFile(Dir() + "/reporting.db"));
    size_t subResponses = 0, rowsChecked = 0;
    for (const QxNodePtr& sub : last.GetChildren()) {
        if (sub.GetType() != "RetrieveCountersSubResponse") continue;
        ++subResponses;
        EXPECT_EQ(sub.GetAttributeOr<int32_t>("RetrieveStatus", -1), 1) << sub.GetName();
        const int32_t used = sub.GetChild("MetaInfo").GetAttributeOr<int32_t>("RetrieveMethod", 0);
        ++methods[used == 1 ? "fast" : used == 2 ? "standard" : "?"];
        const std::vector<QxNodePtr> rows = sub.GetChild("Counters").GetChildren();
        EXPECT_FALSE(rows.empty()) << sub.GetName();
        EXPECT_LE(rows.size(), 10u) << "Top 10";
        int64_t previous = INT64_MAX;
        for (const QxNodePtr& row : rows) {
            std::string sql = "SELECT COUNT(*) FROM AuditRecords WHERE \"When\" >= ? AND \"When\" < ?";
            std::vector<SqlValue> params{from, till};
            if (sub.GetName() == "RemovalsByWho") sql += " AND \"What_Action\" = 'Removed'";
            for (const std::string& column : row.GetAttributeNames()) {
                if (column == "Count") continue;
                sql += " AND \"" + column + "\" = ?";
                params.push_back(row.GetRequiredAttribute<std::string>(column));
            }
            const int64_t count = row.GetRequiredAttribute<int64_t>("Count");
            EXPECT_EQ(count, reporting::test::ScalarOf(*db, sql, params)) << sub.GetName() << ": " << row.ToText(0, 0);
            EXPECT_LE(count, previous) << "sorted by count, descending";
            previous = count;
            ++rowsChecked;
        }
    }
    EXPECT_EQ(subResponses, 8u);
    EXPECT_GT(rowsChecked, 30u);
    return methods;
}

TEST_F(HostDashboard, UnknownCookieMissingAttributeAndDisabledOrMissingDatabaseAreFailedAnswersThatSayWhy)
{
    const HostRun unknown = RunHost(Args(Dir(), {"request", "-"}),
                                    R"(<RetrieveCountersRequest><node q:name="RetrieveCookie"
                                       Token:guid="{0F1E2D3C-4B5A-4978-8695-A4B3C2D1E0F9}"/></RetrieveCountersRequest>)");
    EXPECT_EQ(unknown.exitCode, 1);
    EXPECT_EQ(LastCode(unknown), 0x80070490u);
    EXPECT_NE(unknown.err.find("corvane-host: the request failed: 0x80070490"), std::string::npos) << unknown.err;

    // The failure names the attribute the condition lacks.
    const HostRun noColumn = RunHost(Args(Dir(), {"request", "-"}), R"(<RetrieveCountersRequest>
        <RetrieveCountersSubRequest q:name="ByWho"><ConditionsRoot q:name="Conditions"><Condition operator="AND">
          <ConditionValues Comparator="=" Value="alice"/></Condition></ConditionsRoot>
        <GroupByRoot q:name="GroupByRoot"><GroupByRootEntry Column="Who"/></GroupByRoot></RetrieveCountersSubRequest>
      </RetrieveCountersRequest>)");
    EXPECT_EQ(noColumn.exitCode, 1) << noColumn.err;
    EXPECT_NE(noColumn.err.find("0x80070490 Element not found: attribute 'Columnn'"), std::string::npos)
        << noColumn.err;

    const TempDir missing;
    const HostRun noDatabase = RunHost(Args(missing.Path(), {"request", HostConfigDir() + "/dashboard.xml"}));
    EXPECT_EQ(noDatabase.exitCode, 1) << noDatabase.err;
    EXPECT_EQ(LastCode(noDatabase), 0x80040C0Au) << noDatabase.out;
    EXPECT_NE(noDatabase.err.find("0x80040C0A"), std::string::npos) << noDatabase.err;

    // The working store in the data directory switches reporting off.
    std::string store = ReadFile(missing.File("config-store.xml"));
    const size_t at = store.find("Enabled:bool=\"true\" DatabasePath");
    ASSERT_NE(at, std::string::npos) << store;
    missing.Write("config-store.xml", store.replace(at, 19, "Enabled:bool=\"false\""));
    const HostRun disabled = RunHost(Args(missing.Path(), {"request", HostConfigDir() + "/dashboard.xml"}));
    EXPECT_EQ(disabled.exitCode, 1) << disabled.err;
    EXPECT_EQ(LastCode(disabled), 0x80040C03u) << disabled.out;
    EXPECT_NE(disabled.err.find("0x80040C03"), std::string::npos) << disabled.err;
}

TEST_F(HostDashboard, ALongLineOfAnAnswerIsCutAndMarked)
{
    const std::string name(40000, 'N');  // the answer is named like the request
    const HostRun run = RunHost(Args(Dir(), {"request", "-"}), "<GetRetrieveMethodRequest q:name=\"" + name + "\"/>");
    EXPECT_EQ(run.out.find(name), std::string::npos);
    EXPECT_NE(run.out.find("NNN ... truncated: "), std::string::npos) << run.out.substr(0, 200);
    EXPECT_LT(run.out.size(), 17000u);
}

TEST(HostSignals, SigtermDuringPollsFreesTheCookieAndShutsDownInOrder)
{
    // A copy of the shipped configuration whose counting takes seconds by either method, so polls are under way.
    const TempDir dir;
    const std::string slow = " + (WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x &lt; 200000000) "
                             "SELECT MIN(x) - 1 FROM c)";
    const std::string config = CopyShippedConfiguration(
        dir, {{"CountExpression=\"COUNT(*)", "CountExpression=\"COUNT(*)" + slow},
              {"CountExpression=\"SUM(t.&quot;Count&quot;)", "CountExpression=\"SUM(t.&quot;Count&quot;)" + slow}});

    HostProcess host({"--config", config, "--data-dir", dir.File("data"), "--records", "500", "--timeout", "60", "demo"});
    ASSERT_TRUE(host.WaitForStderr("waiting for answers", std::chrono::seconds(30)));
    const auto signalled = std::chrono::steady_clock::now();
    host.Signal(SIGTERM);
    const HostRun run = host.Finish(std::chrono::seconds(30));
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - signalled).count();
    EXPECT_EQ(run.exitCode, 128 + SIGTERM) << run.err;
    EXPECT_NE(run.err.find("SIGTERM received"), std::string::npos) << run.err;
    EXPECT_LT(seconds, 10.0) << "the running query is interrupted, not waited for";
    // The store was saved whole on the way out.
    const std::string saved = ReadFile(dir.File("data/config-store.xml"));
    EXPECT_NO_THROW(QxNodePtr::ParseAll(saved));
    EXPECT_NE(saved.find("FastMethodEnabled:bool=\"true\""), std::string::npos);
}

TEST(HostSignals, SigtermDuringGenerateEndsWith128PlusTheSignal)
{
    const TempDir dir;
    HostProcess host(Args(dir.Path(), {"--records", "300000", "generate"}));
    ASSERT_TRUE(host.WaitForStdout("Generating", std::chrono::seconds(30)));
    host.Signal(SIGTERM);
    const HostRun run = host.Finish(std::chrono::seconds(120));
    EXPECT_NE(run.err.find("SIGTERM received"), std::string::npos) << run.err;  // taken by the host, not fatal
    EXPECT_EQ(run.exitCode, 128 + SIGTERM) << run.out;
}

}  // namespace
}  // namespace cvn::test
