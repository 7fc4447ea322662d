// The host run inside the test's process: requests reach the module through
// its export exactly as corvane-host sends them, and the test can look at the
// queries processor while a cookie is polled, freed or left to expire. Shared
// by the tests on SQLite, PostgreSQL and ClickHouse.
#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <ctime>
#include <map>
#include <random>
#include <sstream>

#include "common/Helpers/PrimitiveText.h"
#include "host/main/Commands.h"
#include "host/main/RequestRunner.h"
#include "host/reporting/query/QueryValues.h"
#include "host/reporting/storage/Storage.h"
#include "tests/support/HostProcess.h"
#include "tests/support/ReportingTestSupport.h"

namespace cvn::test {

using hostmain::HostRuntime;
using reporting::test::CountedRows;
using reporting::test::ScalarOf;

using reporting::FormatUtcTime;

/// Rows as "value|value" -> count, from the sub-response's "Counters" (as CountedRows gives them from SQL).
using Rows = std::map<std::string, int64_t>;

inline Rows RowsOf(const QxNodePtr& subResponse)
{
    Rows rows;
    for (const QxNodePtr& row : subResponse.GetChild("Counters").GetChildren()) {
        std::string key;
        for (const std::string& column : row.GetAttributeNames())
            if (column != "Count") key += (key.empty() ? "" : "|") + row.GetRequiredAttribute<std::string>(column);
        rows[key] += row.GetRequiredAttribute<int64_t>("Count");
    }
    return rows;
}

/// One host per suite, started with its own configuration and sample data.
class InProcessHost : public testing::Test {
protected:
    static void StartHost(const std::vector<std::pair<std::string, std::string>>& changes, bool fast,
                          reporting::ConnectionWrapper queriesConnection = {})
    {
        s_dir = new TempDir;
        // The logs stay for reading after a failure; the loggers keep the first folder they saw.
        std::string logs = (std::filesystem::temp_directory_path() / "corvane-inproc-logs-XXXXXX").string();
        if (!std::getenv("GS_General_DataDirectoryPath") && mkdtemp(logs.data()))
            setenv("GS_General_DataDirectoryPath", logs.c_str(), 1);
        s_host = new HostRuntime;
        hostmain::CommandOptions options;
        options.host = {.configFile = CopyShippedConfiguration(*s_dir, changes),
                        .dataDirectory = s_dir->File("data"),
                        .queriesConnection = std::move(queriesConnection)};
        options.records = 20000;
        options.days = 10;
        std::ostringstream out;
        s_host->StartServices(options.host);
        hostmain::GenerateIfMissing(*s_host, options, out);
        s_host->StartModule();
        if (fast) {
            hostmain::AggregateMetrics(*s_host, out);
            ASSERT_TRUE(hostmain::SwitchFastMethodOn(*s_host));
            // The metrics start now; a range before it is served fast once the stale records check has
            // found nothing uncovered there.
            const int64_t now = std::time(nullptr);
            const QxNodePtr probe = QxNodePtr::Parse(R"(<GetRetrieveMethodRequest RetrieveMethod:i32="1"><node q:name="TimeRange"/></GetRetrieveMethodRequest>)");
            probe.GetChild("TimeRange").SetAttribute("TimeFrom", FormatUtcTime(now - 9 * 86400));
            probe.GetChild("TimeRange").SetAttribute("TimeTill", FormatUtcTime(now));
            ASSERT_TRUE(WaitUntil([&] {
                const QxNodePtr answer = s_host->Process(probe);
                return hostmain::ResultCodeOf(answer) == 0 && answer.GetAttributeOr<int32_t>("RetrieveMethod", 0) == 1;
            }));
        }
    }
    static void TearDownTestSuite()
    {
        delete s_host;  // stops the module and the services
        s_host = nullptr;
        delete s_dir;
    }

    static QxNodePtr Send(const std::string& text) { return s_host->Process(QxNodePtr::Parse(text)); }
    /// A poll, or another request of the given type, about the cookie.
    static QxNodePtr Poll(const GUID& token, const std::string& type = "RetrieveCountersRequest")
    {
        return Send("<" + type + " q:name=\"Dashboard\"><node q:name=\"RetrieveCookie\" Token:guid=\"" +
                    GuidToText(token) + "\"/></" + type + ">");
    }
    static GUID TokenOf(const QxNodePtr& answer)
    {
        GUID token{};
        EXPECT_TRUE(answer.GetChild("RetrieveCookie").GetAttribute("Token", token)) << answer.ToText(0, 0);
        return token;
    }
    static size_t Delivered(const QxNodePtr& answer)
    {
        size_t delivered = 0;
        for (const QxNodePtr& sub : answer.GetChildren())
            if (sub.GetType() == "RetrieveCountersSubResponse" && hostmain::RetrieveStatusOf(sub) == 1) ++delivered;
        return delivered;
    }

    static inline TempDir* s_dir = nullptr;
    static inline HostRuntime* s_host = nullptr;
};

/// The shipped configuration's Database node, pointed at a database of the kind (a change for StartHost).
inline std::pair<std::string, std::string> ServerDatabase(const std::string& kind, const std::string& connection)
{
    return {"<node q:name=\"Database\" File=\"reporting.db\">",
            "<node q:name=\"Database\" File=\"reporting.db\" StorageKind=\"" + kind + "\" StorageConnection=\"" +
                connection + "\">"};
}

// Counts through the processor chains and the queries processor service equal hand-written SQL on the
// database, by the fast method and by the standard method.
class InProcessCounts : public InProcessHost {
protected:
    /// For random ranges, zones and filters, both methods count as hand-written SQL (below).
    static void CheckEitherMethodCountsAsHandWrittenSql();

    /// Sends the request with the method forced, polls it to the end; the last answer.
    static QxNodePtr Retrieve(const std::string& body, int method, int offset, int64_t from, int64_t till)
    {
        hostmain::RequestRunner runner(*s_host, std::chrono::seconds(120));
        const std::string text = "<RetrieveCountersRequest q:name=\"Check\" PartialResult:bool=\"false\" RetrieveMethod:i32=\"" +
                                 std::to_string(method) + "\" TimeZoneOffsetSec:i32=\"" + std::to_string(offset) +
                                 "\"><node q:name=\"TimeRange\" TimeFrom=\"" + FormatUtcTime(from) + "\" TimeTill=\"" +
                                 FormatUtcTime(till) + "\"/>" + body + "</RetrieveCountersRequest>";
        const hostmain::RetrieveOutcome outcome = runner.Run(QxNodePtr::Parse(text), {});
        EXPECT_FALSE(outcome.failed) << outcome.last.ToText(0, 0);
        EXPECT_EQ(hostmain::RetrieveStatusOf(outcome.last), 1);
        return outcome.last;
    }
};

/// The count property on a throw-away server of its own (PostgresServer, ClickHouseCluster).
template <class Server>
class ServerInProcessCounts : public InProcessCounts {
protected:
    static void SetUpTestSuite()
    {
        s_server = new Server;
        StartHost({ServerDatabase(Server::kStorageKind, s_server->Connection())}, true);
    }
    static void TearDownTestSuite()
    {
        InProcessHost::TearDownTestSuite();
        delete s_server;
        s_server = nullptr;
    }
    static inline Server* s_server = nullptr;
};

// For random ranges on arbitrary minutes and zones from -12:00 to +14:00 (with :30 and :45),
// lists in and out, presets, a data source serving two products, plans and local days, the fast method,
// the standard method and hand-written SQL count the same, also for records written after the last
// aggregation (some into hours the counters already hold).
inline void InProcessCounts::CheckEitherMethodCountsAsHandWrittenSql()
{
    const auto db = reporting::OpenStorage(s_host->Storage());
    // Hand-written SQL every database reads alike (groups by name, integer division by the remainder);
    // it numbers its parameters ?1, ?2...; each database spells them its own way.
    const auto P = [&](const std::string& text) {
        std::string sql;
        for (size_t i = 0; i < text.size(); ++i) {
            size_t end = i + 1;
            while (text[i] == '?' && end < text.size() && std::isdigit(static_cast<unsigned char>(text[end]))) ++end;
            if (end == i + 1) {
                sql += text[i];
                continue;
            }
            sql += db->Dialect().Placeholder(std::stoul(text.substr(i + 1, end - i - 1)));
            i = end - 1;
        }
        return sql;
    };
    // Three of the busiest users (two to count, one listed and excluded again), and a data source serving
    // two products.
    std::vector<std::string> users;
    for (const auto& [key, count] : CountedRows(*db, R"(SELECT "Who", COUNT(*) AS n FROM "AuditRecords" GROUP BY "Who" ORDER BY n DESC, "Who" LIMIT 3)", {}))
        users.push_back(key);
    ASSERT_EQ(users.size(), 3u);
    const Rows sources = CountedRows(*db, R"(SELECT "DataSource", COUNT(DISTINCT "ProductId") FROM "AuditRecords" GROUP BY "DataSource" HAVING COUNT(DISTINCT "ProductId") >= 2)", {});
    ASSERT_FALSE(sources.empty());
    const std::string shared = sources.begin()->first;

    auto item = [](const std::string& value) {  // one item of a string list in the text form
        std::string text;
        for (char c : value) text += c == '\\' ? "\\\\" : c == '|' ? "\\|" : std::string(1, c);
        return text;
    };
    const std::string body =
        R"(<RetrieveCountersSubRequest q:name="ListedUsers"><ConditionsRoot q:name="Conditions">
             <Condition operator="IN"><ConditionValues Columnn="Who" Values:strs=")" + item(users[0]) + "|" + item(users[1]) + "|" + item(users[2]) + R"("/></Condition>
             <Condition operator="NOT IN"><ConditionValues Columnn="Who" Values:strs=")" + item(users[2]) + R"("/></Condition>
           </ConditionsRoot><GroupByRoot q:name="GroupByRoot"><GroupByRootEntry Column="Who"/></GroupByRoot></RetrieveCountersSubRequest>
           <RetrieveCountersSubRequest q:name="RemovalsByWho"><ConditionsRoot q:name="Conditions">
             <Condition operator="AND"><ConditionValues Columnn="ConditionId" Value="Removals" Comparator="="/></Condition>
           </ConditionsRoot><GroupByRoot q:name="GroupByRoot"><GroupByRootEntry Column="Who"/></GroupByRoot></RetrieveCountersSubRequest>
           <RetrieveCountersSubRequest q:name="OneSource"><ConditionsRoot q:name="Conditions">
             <Condition operator="AND"><ConditionValues Columnn="DataSource" Comparator="=" Value:guid=")" + shared + R"("/></Condition>
           </ConditionsRoot><GroupByRoot q:name="GroupByRoot"><GroupByRootEntry Column="DataSource"/></GroupByRoot></RetrieveCountersSubRequest>
           <RetrieveCountersSubRequest q:name="ByPlan"><GroupByRoot q:name="GroupByRoot"><GroupByRootEntry Column="ManagedObjectUId"/></GroupByRoot></RetrieveCountersSubRequest>
           <RetrieveCountersSubRequest q:name="ByLocalDay"><GroupByRoot q:name="GroupByRoot"><GroupByRootEntry Column="When"/></GroupByRoot></RetrieveCountersSubRequest>)";
    const std::string range = R"( FROM "AuditRecords" WHERE "When" >= ?1 AND "When" < ?2 )";
    auto expected = [&](int64_t from, int64_t till, int64_t offset) {
        return std::map<std::string, Rows>{
            {"ListedUsers", CountedRows(*db, P("SELECT \"Who\", COUNT(*)" + range + "AND \"Who\" IN (?3, ?4) GROUP BY \"Who\""), {from, till, users[0], users[1]})},
            {"RemovalsByWho", CountedRows(*db, P("SELECT \"Who\", COUNT(*)" + range + "AND \"What_Action\" = 'Removed' GROUP BY \"Who\""), {from, till})},
            {"OneSource", CountedRows(*db, P("SELECT \"DataSource\", COUNT(*)" + range + "AND \"DataSource\" = ?3 GROUP BY \"DataSource\""), {from, till, shared})},
            {"ByPlan", CountedRows(*db, P("SELECT \"ManagedObjectUId\", COUNT(*)" + range + "GROUP BY \"ManagedObjectUId\""), {from, till})},
            {"ByLocalDay", CountedRows(*db, P("SELECT (\"When\" + ?3) - (\"When\" + ?3) % 86400 AS d, COUNT(*)" + range + "GROUP BY d"), {from, till, offset})},
        };
    };

    const int64_t minute = 60, hour = 3600, day = 86400;
    const int64_t now = static_cast<int64_t>(std::time(nullptr));
    const int64_t zones[] = {-12 * hour, -9 * hour - 30 * minute, -5 * hour, -3 * hour - 30 * minute, 0,
                             3 * hour + 30 * minute, 5 * hour + 30 * minute, 5 * hour + 45 * minute,
                             8 * hour + 45 * minute, 12 * hour + 45 * minute, 14 * hour};
    std::mt19937_64 random(20261206);
    auto uniform = [&](int64_t low, int64_t high) { return std::uniform_int_distribution<int64_t>(low, high)(random); };
    for (int round = 0; round < 24; ++round) {
        if (round % 8 == 4) {
            // Written after the aggregation: copies of a few records, some into hours the counters hold.
            ScalarOf(*db, P(R"(INSERT INTO "AuditRecords" ("When", "ProductId", "AuditingSystem", "DataSource", "ManagedObjectUId",
                "ManagedObject", "Who", "Where", "ObjectType", "What_Action", "What") SELECT "When" + ?1, "ProductId",
                "AuditingSystem", "DataSource", "ManagedObjectUId", "ManagedObject", "Who", "Where", "ObjectType",
                "What_Action", "What" FROM "AuditRecords" WHERE "Id" % 53 = ?2)"), {uniform(-7200, 7200), round});
        }
        const int64_t offset = zones[uniform(0, std::size(zones) - 1)];
        const int64_t from = now - uniform(0, 9 * day / minute) * minute;
        const int64_t till = std::min(now, from + uniform(1, 4 * day / minute) * minute);
        SCOPED_TRACE("range " + FormatUtcTime(from) + " to " + FormatUtcTime(till) + ", offset " + std::to_string(offset));
        const std::map<std::string, Rows> rows = expected(from, till, offset);
        for (const int method : {1, 2}) {
            SCOPED_TRACE(method == 1 ? "fast" : "standard");
            const QxNodePtr answer = Retrieve(body, method, static_cast<int>(offset), from, till);
            size_t checked = 0;
            for (const QxNodePtr& sub : answer.GetChildren()) {
                if (sub.GetType() != "RetrieveCountersSubResponse") continue;
                SCOPED_TRACE(sub.GetName());
                EXPECT_EQ(sub.GetChild("MetaInfo").GetAttributeOr<int32_t>("RetrieveMethod", 0), method);
                EXPECT_EQ(RowsOf(sub), rows.at(sub.GetName()));
                ++checked;
            }
            ASSERT_EQ(checked, rows.size());
        }
    }
}

}  // namespace cvn::test
