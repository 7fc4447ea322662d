// corvane-host end to end: the command line, the shipped configuration, and
// the default dashboard on generated data checked against hand-written SQL.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "common/NodeAccess/QxNodePtr.h"
#include "tests/support/HostProcess.h"
#include "host/reporting/query/QueryValues.h"
#include "host/reporting/sample/SampleDataGenerator.h"
#include "host/reporting/storage/Storage.h"

namespace cvn::test {
namespace {

using reporting::SqlValue;

std::string ReadFile(const std::string& path)
{
    std::ifstream file(path);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

std::vector<std::string> Args(const std::string& dataDir, std::vector<std::string> rest)
{
    rest.insert(rest.begin(), {"--data-dir", dataDir});
    return rest;
}

int64_t SqlCount(reporting::IConnection& db, const std::string& where, const std::vector<SqlValue>& params)
{
    const auto statement = db.Prepare("SELECT COUNT(*) FROM AuditRecords WHERE " + where);
    for (size_t i = 0; i < params.size(); ++i) statement->Bind(i + 1, params[i]);
    EXPECT_TRUE(statement->Next());
    return std::get<int64_t>(statement->Column(0));
}

TEST(HostCommandLine, HelpUsageErrorsAndBadRequestFiles)
{
    const HostRun help = RunHost({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("usage: corvane-host"), std::string::npos);

    const std::string dir = MakeTempDir("corvane-cli");
    const struct {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{}, "no command given"},
        {{"fly"}, "unknown command 'fly'"},
        {{"request"}, "request needs a request file"},
        {{"--records", "ten", "generate"}, "--records needs a whole number"},
        {{"--bogus", "demo"}, "unknown option '--bogus'"},
        {{"request", dir + "/absent.xml"}, "cannot read '" + dir + "/absent.xml'"},
        {{"request", "-"}, "is not one node in the text form"},
    };
    for (const auto& c : cases) {
        const HostRun run = RunHost(Args(dir, c.args), "<RetrieveCountersRequest");
        EXPECT_EQ(run.exitCode, 2) << c.message << "\n" << run.err;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    }
    const HostRun badConfig = RunHost({"--config", dir + "/none.cfg.xml", "generate"});
    EXPECT_EQ(badConfig.exitCode, 3);
    EXPECT_NE(badConfig.err.find("none.cfg.xml"), std::string::npos) << badConfig.err;
    std::filesystem::remove_all(dir);
}

TEST(HostShippedConfiguration, DataSourcesAndPlansAreThoseOfTheSampleData)
{
    const reporting::SampleDataGenerator generator(reporting::SampleDataOptions{.records = 0});
    const QxNodePtr host = QxNodePtr::Parse(ReadFile(HostConfigDir() + "/host.cfg.xml"));
    const QxNodePtr mapping = host.FindByPath("Components\\Corvane.Gate\\Configuration\\DataSourceMapping", 2);
    std::set<std::string> shipped, expected;
    for (const QxNodePtr& source : mapping.GetChildren()) {
        std::string products;
        for (const std::string& id : source.GetRequiredAttribute<std::vector<std::string>>("ProductIds")) products += id + ",";
        shipped.insert(reporting::GuidText(source.GetRequiredAttribute<GUID>("DataSource")) + "=" + products);
    }
    for (const auto& source : generator.DataSources()) {
        std::string products;
        for (const std::string& id : source.productIds) products += id + ",";
        expected.insert(source.idText + "=" + products);
    }
    EXPECT_EQ(shipped, expected);

    const auto stores = QxNodePtr::ParseAll(ReadFile(HostConfigDir() + "/config-store.xml"));
    QxNodePtr plans;
    for (const QxNodePtr& top : stores)
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
        s_dir = MakeTempDir("corvane-dashboard");
        const HostRun generated = RunHost(Args(s_dir, {"--records", "4000", "generate"}));
        ASSERT_EQ(generated.exitCode, 0) << generated.err;
        const HostRun aggregated = RunHost(Args(s_dir, {"aggregate"}));
        ASSERT_EQ(aggregated.exitCode, 0) << aggregated.err;
    }
    static void TearDownTestSuite() { std::filesystem::remove_all(s_dir); }

    static std::vector<QxNodePtr> Answers(const HostRun& run) { return QxNodePtr::ParseAll(run.out); }

    static inline std::string s_dir;

    /// Sends the dashboard (with the retrieve method forced when method is not 0) and checks every row
    /// against SQL; returns how many sub-responses each method served.
    static std::map<std::string, int> CheckDashboard(int method);
};

TEST_F(HostDashboard, BothMethodsCountAsHandWrittenSql)
{
    const HostRun demo = RunHost(Args(s_dir, {"--top", "2", "demo"}));  // switches the fast method on, for good
    ASSERT_EQ(demo.exitCode, 0) << demo.err;
    EXPECT_NE(demo.out.find("Fast method: on"), std::string::npos) << demo.out;
    EXPECT_NE(demo.out.find("Reusing the sample database"), std::string::npos) << demo.out;
    EXPECT_NE(demo.out.find("== ChangesByWho  [fast, "), std::string::npos) << demo.out;

    EXPECT_EQ(CheckDashboard(2), (std::map<std::string, int>{{"standard", 8}}));
    EXPECT_EQ(CheckDashboard(1), (std::map<std::string, int>{{"fast", 8}}));
    EXPECT_EQ(CheckDashboard(0), (std::map<std::string, int>{{"fast", 8}})) << "the metrics hold a group for every sub-request";
}

std::map<std::string, int> HostDashboard::CheckDashboard(int method)
{
    std::string text = ReadFile(HostConfigDir() + "/dashboard.xml");
    if (method != 0) {
        const size_t at = text.find("PartialResult");
        text.insert(at, "RetrieveMethod:i32=\"" + std::to_string(method) + "\" ");
    }
    const HostRun run = RunHost(Args(s_dir, {"request", "-"}), text);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    std::map<std::string, int> methods;
    const std::vector<QxNodePtr> answers = Answers(run);
    EXPECT_GE(answers.size(), 2u) << "results come after the first answer";
    if (answers.size() < 2) return methods;
    const QxNodePtr& last = answers.back();
    EXPECT_EQ(last.GetAttributeOr<int32_t>("RetrieveStatus", -1), 1);
    for (const QxNodePtr& sub : answers.front().GetChildren()) {
        if (sub.GetType() != "RetrieveCountersSubResponse") continue;
        EXPECT_EQ(sub.GetAttributeOr<int32_t>("RetrieveStatus", -1), 0) << "the first answer carries no data";
    }

    const QxNodePtr range = last.GetChild("TimeRange");
    const int64_t from = *reporting::ParseTimeText(range.GetRequiredAttribute<std::string>("TimeFrom"));
    const int64_t till = *reporting::ParseTimeText(range.GetRequiredAttribute<std::string>("TimeTill"));
    const auto db = reporting::OpenStorage(reporting::StorageSettingsForFile(s_dir + "/reporting.db"));
    size_t subResponses = 0, rowsChecked = 0;
    for (const QxNodePtr& sub : last.GetChildren()) {
        if (sub.GetType() != "RetrieveCountersSubResponse") continue;
        ++subResponses;
        EXPECT_EQ(sub.GetAttributeOr<int32_t>("RetrieveStatus", -1), 1) << sub.GetName();
        const int32_t used = sub.GetChild("MetaInfo").GetAttributeOr<int32_t>("RetrieveMethod", 0);
        ++methods[used == 1 ? "fast" : used == 2 ? "standard" : "?"];
        const QxNodePtr counters = sub.GetChild("Counters");
        const std::vector<QxNodePtr> rows = counters.GetChildren();
        EXPECT_FALSE(rows.empty()) << sub.GetName();
        EXPECT_LE(rows.size(), 10u) << "Top 10";
        int64_t previous = INT64_MAX;
        for (const QxNodePtr& row : rows) {
            std::string where = "\"When\" >= ? AND \"When\" < ?";
            std::vector<SqlValue> params{from, till};
            if (sub.GetName() == "RemovalsByWho") where += " AND \"What_Action\" = 'Removed'";
            for (const std::string& column : row.GetAttributeNames()) {
                if (column == "Count") continue;
                where += " AND \"" + column + "\" = ?";
                params.push_back(row.GetRequiredAttribute<std::string>(column));
            }
            const int64_t count = row.GetRequiredAttribute<int64_t>("Count");
            EXPECT_EQ(count, SqlCount(*db, where, params)) << sub.GetName() << ": " << row.ToText(0, 0);
            EXPECT_LE(count, previous) << "sorted by count, descending";
            previous = count;
            ++rowsChecked;
        }
    }
    EXPECT_EQ(subResponses, 8u);
    EXPECT_GT(rowsChecked, 30u);
    return methods;
}

TEST_F(HostDashboard, UnknownCookieAndDisabledOrMissingDatabaseAreFailedAnswers)
{
    const HostRun unknown = RunHost(Args(s_dir, {"request", "-"}),
                                    R"(<RetrieveCountersRequest><node q:name="RetrieveCookie"
                                       Token:guid="{0F1E2D3C-4B5A-4978-8695-A4B3C2D1E0F9}"/></RetrieveCountersRequest>)");
    EXPECT_EQ(unknown.exitCode, 1);
    const QxNodePtr unknownAnswer = Answers(unknown).back();
    EXPECT_EQ(unknownAnswer.GetAttributeOr<uint32_t>("ResultCode", 0), 0x80070490u);
    EXPECT_EQ(unknownAnswer.GetAttributeOr<int32_t>("RetrieveStatus", -1), 2);

    const std::string missing = MakeTempDir("corvane-missing");
    const HostRun noDatabase = RunHost(Args(missing, {"request", HostConfigDir() + "/dashboard.xml"}));
    EXPECT_EQ(noDatabase.exitCode, 1) << noDatabase.err;
    EXPECT_EQ(Answers(noDatabase).back().GetAttributeOr<uint32_t>("ResultCode", 0), 0x80040C0Au) << noDatabase.out;

    // The working store in the data directory switches reporting off.
    const std::string store = missing + "/config-store.xml";
    std::string text = ReadFile(store);
    const size_t at = text.find("Enabled:bool=\"true\" DatabasePath");
    ASSERT_NE(at, std::string::npos) << text;
    text.replace(at, 19, "Enabled:bool=\"false\"");
    WriteFile(store, text);
    const HostRun disabled = RunHost(Args(missing, {"request", HostConfigDir() + "/dashboard.xml"}));
    EXPECT_EQ(disabled.exitCode, 1) << disabled.err;
    const QxNodePtr disabledAnswer = Answers(disabled).back();
    EXPECT_EQ(disabledAnswer.GetAttributeOr<uint32_t>("ResultCode", 0), 0x80040C03u);
    EXPECT_EQ(disabledAnswer.GetAttributeOr<int32_t>("RetrieveStatus", -1), 2);
    std::filesystem::remove_all(missing);
}

}  // namespace
}  // namespace cvn::test

namespace cvn::test {
namespace {

TEST(HostSignals, SigtermDuringPollsFreesTheCookieAndShutsDownInOrder)
{
    // A copy of the shipped configuration whose counting takes seconds by either method, so polls are under way.
    const std::string dir = MakeTempDir("corvane-sigterm");
    std::filesystem::create_directories(dir + "/config");
    for (const char* file : {"config-store.xml", "dashboard.xml"})
        std::filesystem::copy_file(HostConfigDir() + "/" + file, dir + "/config/" + file);
    std::string config = ReadFile(HostConfigDir() + "/host.cfg.xml");
    const std::string slow = " + (WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x &lt; 200000000) "
                             "SELECT MIN(x) - 1 FROM c)";
    for (const std::string count : {"COUNT(*)", "SUM(t.&quot;Count&quot;)"}) {
        const size_t at = config.find("CountExpression=\"" + count + "\"");
        ASSERT_NE(at, std::string::npos) << count;
        config.insert(at + std::string("CountExpression=\"").size() + count.size(), slow);
    }
    WriteFile(dir + "/config/host.cfg.xml", config);

    HostProcess host({"--config", dir + "/config/host.cfg.xml", "--data-dir", dir + "/data", "--records", "500",
                      "--timeout", "60", "demo"});
    ASSERT_TRUE(host.WaitForStderr("waiting for answers", std::chrono::seconds(30)));
    const auto signalled = std::chrono::steady_clock::now();
    host.Signal(SIGTERM);
    const HostRun run = host.Finish(std::chrono::seconds(30));
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - signalled).count();
    EXPECT_EQ(run.exitCode, 128 + SIGTERM) << run.err;
    EXPECT_NE(run.err.find("SIGTERM received"), std::string::npos) << run.err;
    EXPECT_LT(seconds, 10.0) << "the running query is interrupted, not waited for";
    // The store was saved whole on the way out.
    EXPECT_NO_THROW(QxNodePtr::ParseAll(ReadFile(dir + "/data/config-store.xml")));
    EXPECT_NE(ReadFile(dir + "/data/config-store.xml").find("FastMethodEnabled:bool=\"true\""), std::string::npos);
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace cvn::test
