// The meta info provider: default and available time ranges, the metrics
// status, the retrieve method choice with the fast switch from the settings,
// and the stale records check for ranges that begin before the metrics; the
// checker's presence queries, its cached answer and what makes it stale.
#include <gtest/gtest.h>

#include "common/Helpers/Clock.h"
#include "common/Helpers/RequestProcessingUtils.h"
#include "module/OverviewReportsProcessing/Corvane/MetaInfoProvider.h"
#include "module/OverviewReportsProcessing/Corvane/MetaInfoTimes.h"
#include "module/OverviewReportsProcessing/Corvane/StaleRecordsExistenceChecker.h"
#include "tests/support/OverviewTestSupport.h"

namespace cvn::test {
namespace {

using namespace std::chrono_literals;
using Corvane::CMetaInfoProvider;
using Corvane::CStaleRecordsExistenceChecker;
using Corvane::ParseUtcTime;
using host::QueryCallKind;
using host::QueryScript;

constexpr std::string_view kSettingsPath = "\\Settings\\OverviewSettings";

class MetaInfoProviderTest : public RetrievalTest {
protected:
    void TearDown() override
    {
        if (provider) {
            EXPECT_EQ(provider->Shutdown(), S_OK);
        }
        provider.Reset();
        RetrievalTest::TearDown();
    }
    HRESULT Make(std::string_view config = kProviderConfiguration)
    {
        provider = CreateComponent<CMetaInfoProvider>(5ms);
        return provider->Configure(Tree(config).Get());
    }
    void SetFast(bool enabled)
    {
        const QxNodePtr settings = QxNodePtr::Create();
        settings.SetAttribute("FastEnabled", enabled);
        WriteConfigNode(ConfigSource::ConfigServer, kSettingsPath, settings);
        ASSERT_TRUE(WaitUntil([&] { return provider->IsFastEnabled() == enabled; }));
    }
    QxNodePtr Range(bool isDefault, int32_t offset)
    {
        auto [hr, range] = HandedOut([&](IQxNode** out) {
            return isDefault ? provider->GetDefaultTimeRange(offset, out) : provider->GetAvailableTimeRange(offset, out);
        });
        EXPECT_EQ(hr, S_OK);
        return range;
    }
    static std::string From(const QxNodePtr& range) { return range.GetAttributeOr("TimeFrom", "?"); }
    std::string StartTime()
    {
        return ReadConfigNode(ConfigSource::ConfigServer, CMetaInfoProvider::kStatusPath, true)
            .GetRequiredAttribute<std::string>("StartTime");
    }
    /// The answer to a retrieve method request given as the body of a "GetRetrieveMethodRequest".
    QxNodePtr Ask(std::string_view attributes, std::string_view children = {})
    {
        const QxNodePtr request = Tree("<GetRetrieveMethodRequest " + std::string(attributes) + ">" +
                                       std::string(children) + "</GetRetrieveMethodRequest>");
        auto [hr, answer] = HandedOut([&](IQxNode** out) { return provider->GetRetrieveMethod(request.Get(), out); });
        EXPECT_EQ(hr, S_OK);
        return answer;
    }
    static int32_t Method(const QxNodePtr& answer) { return Int(answer, "RetrieveMethod"); }

    ManualClock clock{ParseUtcTime("2024-03-05T07:09:00Z")};
    ScopedMetricsConfiguration metrics{kMetricsConfiguration};
    ComPtr<CComponentObject<CMetaInfoProvider>> provider;
};

constexpr std::string_view kWhoWhere = R"(<GroupByRoot q:name="GroupByRoot"><GroupByRootEntry Column="Who"/>
    <GroupByRootEntry Column="Where"/></GroupByRoot>)";
constexpr std::string_view kWhatWhoWhere = R"(<GroupByRoot q:name="GroupByRoot"><GroupByRootEntry Column="What"/>
    <GroupByRootEntry Column="Who"/><GroupByRootEntry Column="Where"/></GroupByRoot>)";

TEST_F(MetaInfoProviderTest, TheDefaultRangeBeginsAtTheLocalDayStartOfTheConfiguredHoursBack)
{
    ASSERT_EQ(Make(), S_OK);
    const QxNodePtr utc = Range(true, 0);
    EXPECT_EQ(Canonical(utc), Canonical(Tree(
                                  R"(<node q:name="TimeRange" TimeFrom="2024-03-04T00:00:00Z" TimeTill="2024-03-05T07:09:00Z"/>)")));
    clock.SetSystemTime(ParseUtcTime("2024-03-05T23:30:00Z"));
    EXPECT_EQ(From(Range(true, 3600)), "2024-03-04T23:00:00Z");
    EXPECT_EQ(From(Range(true, -3600)), "2024-03-04T01:00:00Z");
}

TEST_F(MetaInfoProviderTest, TheMetricsStartNowUnlessAStatusIsRecordedAndBoundTheAvailableRange)
{
    ASSERT_EQ(Make(), S_OK);
    EXPECT_EQ(StartTime(), "2024-03-05T07:09:00Z");
    EXPECT_EQ(From(Range(false, 0)), "2024-03-05T07:09:00Z");
    provider->Shutdown();

    WriteConfigNode(ConfigSource::ConfigServer, CMetaInfoProvider::kStatusPath,
                    Tree(R"(<node StartTime="2024-03-01T06:00:00Z"/>)"));
    clock.Advance(1h);
    ASSERT_EQ(Make(), S_OK);
    EXPECT_EQ(StartTime(), "2024-03-01T06:00:00Z") << "a recorded start is kept";
    EXPECT_EQ(From(Range(false, 0)), "2024-03-04T00:00:00Z") << "the later of the start and the day start";
    EXPECT_EQ(Range(false, 0).GetAttributeOr("TimeTill", ""), "2024-03-05T08:09:00Z");
}

TEST_F(MetaInfoProviderTest, WithTheFastMethodOffRequestsGetTheStandardMethodOrARefusal)
{
    LogCapture log;
    ASSERT_EQ(Make(), S_OK);
    EXPECT_EQ(Method(Ask("", kWhoWhere)), 2);
    EXPECT_EQ(Method(Ask(R"(RetrieveMethod:i32="5")", kWhoWhere)), 2);
    const QxNodePtr refused = Ask(R"(RetrieveMethod:i32="1")", kWhoWhere);
    EXPECT_EQ(Code(refused), kHrInvalidData);
    EXPECT_EQ(Method(refused), -1);
    EXPECT_NE(Text(refused, "ErrorSerialized").find("The fast method is disabled."), std::string::npos);
    EXPECT_EQ(log.Count("Corvane::CMetaInfoProvider::GetMethod failed: The fast method is disabled."), 1u);
    EXPECT_EQ(Code(Ask("", kWhoWhere)), S_OK);

    const QxNodePtr wrongType = Tree("<RetrieveCountersRequest/>");
    IQxNode* raw = nullptr;
    EXPECT_EQ(provider->GetRetrieveMethod(wrongType.Get(), &raw), E_INVALIDARG);
    EXPECT_EQ(provider->GetRetrieveMethod(nullptr, &raw), E_POINTER);
    EXPECT_EQ(raw, nullptr);
}

TEST_F(MetaInfoProviderTest, TheFastMethodServesFiltersThatMapOntoAGroupAndItsPreset)
{
    LogCapture log;
    ASSERT_EQ(Make(), S_OK);
    clock.Advance(30min);
    SetFast(true);
    // The switch is published before the status is written.
    WaitUntil([&] { return StartTime() == "2024-03-05T07:39:00Z"; });
    EXPECT_EQ(StartTime(), "2024-03-05T07:39:00Z") << "switching the fast method on restarts the metrics";
    EXPECT_EQ(Method(Ask("", kWhoWhere)), 1);
    EXPECT_EQ(Method(Ask(R"(RetrieveMethod:i32="1")", kWhoWhere)), 1);
    EXPECT_EQ(Method(Ask("", kWhatWhoWhere)), 2) << "the group knows only the \"Failed\" preset";
    EXPECT_EQ(Method(Ask(R"(PresetConditionName="Failed")", kWhatWhoWhere)), 1);
    EXPECT_EQ(Method(Ask(R"(PresetConditionName="Failed")", kWhoWhere)), 2);
    const std::string objectType =
        R"(<GroupByRoot q:name="GroupByRoot"><GroupByRootEntry Column="ObjectType"/></GroupByRoot>)";
    EXPECT_EQ(Method(Ask("", objectType)), 2);
    EXPECT_EQ(Code(Ask(R"(RetrieveMethod:i32="1")", objectType)), kHrInvalidData);
    EXPECT_EQ(log.Count("failed: The provided filter cannot be processed quickly."), 1u);

    SetFast(false);
    EXPECT_EQ(Method(Ask("", kWhoWhere)), 2);
}

/// "ConfigServer.Proxy" for the scope: the host's store for reads and writes, a fake server's subscriptions,
/// so that the test chooses how a notification arrives.
class SplitConfigServer : public Implements<IConfigStorage, IConfigSubscriptions> {
public:
    explicit SplitConfigServer(ComPtr<IConfigStorage> store) : m_store(std::move(store)) {}
    HRESULT DeleteNodes(IQxNode* filter, uint32_t flags) noexcept override
    {
        return m_store->DeleteNodes(filter, flags);
    }
    HRESULT Flush(uint32_t flags) noexcept override { return m_store->Flush(flags); }
    HRESULT WriteNodes(IQxNode* context, uint32_t flags, IQxNode* const* nodes, uint64_t count) noexcept override
    {
        return m_store->WriteNodes(context, flags, nodes, count);
    }
    HRESULT CountNodes(IQxNode* filter, uint64_t* count) noexcept override
    {
        return m_store->CountNodes(filter, count);
    }
    HRESULT ReadNodes(IQxNode* filter, uint32_t flags, IQxNode** nodes, uint64_t capacity,
                      uint64_t* returned) noexcept override
    {
        return m_store->ReadNodes(filter, flags, nodes, capacity, returned);
    }
    HRESULT Subscribe(IQxNode* filter, IQxNode* options, IQxModifySink* sink,
                      IQxModifySubscription** subscription) noexcept override
    {
        return subscriptions->Subscribe(filter, options, sink, subscription);
    }
    HRESULT Unsubscribe(IQxModifySubscription* subscription) noexcept override
    {
        return subscriptions->Unsubscribe(subscription);
    }

    const ComPtr<CComponentObject<FakeConfigServer>> subscriptions = CreateComponent<FakeConfigServer>();

private:
    ComPtr<IConfigStorage> m_store;
};

// Every notification of the overview settings sets the fast switch; only a published batch, not a
// synchronous notification, restarts the metrics.
TEST_F(MetaInfoProviderTest, OnlyAPublishedSwitchRestartsTheMetrics)
{
    const ComPtr<IConfigStorage> store = GetNamedInstance<IConfigStorage>(kConfigServerProxyName);
    const auto split = CreateComponent<SplitConfigServer>(store);
    const std::u16string name = ToUtf16(kConfigServerProxyName);
    ASSERT_EQ(SkUnregisterNamedInstance(name.c_str()), S_OK);
    std::optional<ScopedNamedInstance> registered;
    registered.emplace(kConfigServerProxyName, static_cast<IConfigStorage*>(split.Get()));
    const ScopeExit restore([&] {
        registered.reset();
        SkRegisterNamedInstance(name.c_str(), store.Get());
    });

    ASSERT_EQ(Make(), S_OK);
    clock.Advance(30min);
    const auto switchOn = [&](bool synchronous) {
        return split->subscriptions->Notify(
            synchronous, {Notification(std::string(kSettingsPath), 8, R"(<node FastEnabled:bool="true"/>)")});
    };
    EXPECT_EQ(switchOn(true), S_OK);
    EXPECT_TRUE(provider->IsFastEnabled());
    EXPECT_EQ(StartTime(), "2024-03-05T07:09:00Z") << "a synchronous notification restarted the metrics";
    EXPECT_EQ(switchOn(false), S_OK);
    EXPECT_TRUE(WaitUntil([&] { return StartTime() == "2024-03-05T07:39:00Z"; })) << StartTime();
}

TEST_F(MetaInfoProviderTest, ARangeBeforeTheMetricsStartIsFastOnlyWithoutStaleRecords)
{
    ASSERT_EQ(Make(), S_OK);
    SetFast(true);  // the metrics start at 2024-03-05T07:09:00Z
    const auto withRange = [&](const char* from) {
        return Method(Ask("", std::string(kWhoWhere) + "<node q:name=\"TimeRange\" TimeFrom=\"" + from +
                                  "\" TimeTill=\"2024-03-05T07:09:00Z\"/>"));
    };
    EXPECT_EQ(withRange("2024-03-05T07:09:00Z"), 1);
    EXPECT_TRUE(queries->Calls().empty()) << "a range from the start needs no check";
    EXPECT_EQ(withRange("2024-03-03T23:59:59Z"), 2) << "before the default range";
    EXPECT_TRUE(queries->Calls().empty());

    queries->SetScript(QueryScript{});
    EXPECT_EQ(withRange("2024-03-04T12:00:00Z"), 1);
    ASSERT_EQ(queries->Count(QueryCallKind::Query), 1u);
    const QxNodePtr leaves = queries->Calls()[0].node.FindByPath("Conditions\\Condition");
    EXPECT_EQ(leaves.GetChild(uint64_t{0}).GetAttributeOr("Value", ""), "2024-03-04 00:00:00");
    EXPECT_EQ(leaves.GetChild(uint64_t{1}).GetAttributeOr("Value", ""), "2024-03-05 07:09:00");

    queries->SetScript(QueryScript{0, R"(<Result><Row/></Result>)"});
    m_host.DsmNotifications()->NotifyAdded(QxNodePtr::Create("Change").Get());
    EXPECT_EQ(withRange("2024-03-04T12:00:00Z"), 2);
    BOOL valid = 1;
    EXPECT_EQ(provider->IsTimeRangeValid(0, Tree(R"(<node TimeFrom="2024-03-04T12:00:00Z"/>)").Get(), &valid), S_OK);
    EXPECT_EQ(valid, 0);
    EXPECT_EQ(queries->Count(QueryCallKind::Query), 2u) << "the second answer came from the cache";
}

TEST_F(MetaInfoProviderTest, BadConfigurationOrTimeTextsAreNamed)
{
    for (const char* missing : {"DefaultTimeRangeInHour", "OverviewSettingsCfgPath", "EnableSettingsAttrName"}) {
        const QxNodePtr config = Tree(kProviderConfiguration);
        config.DeleteAttribute(missing, true);
        provider = CreateComponent<CMetaInfoProvider>(5ms);
        EXPECT_EQ(provider->Configure(config.Get()), kHrNotFound) << missing;
    }
    EXPECT_EQ(provider->Configure(Tree(R"(<node DefaultTimeRangeInHour:i32="24"/>)").Get()), kHrNotFound);
    EXPECT_EQ(provider->Configure(nullptr), E_POINTER);

    ASSERT_EQ(Make(), S_OK);
    SetFast(true);
    for (const auto& [from, error] :
         {std::pair{"yesterday", "Invalid UTC time: \"yesterday\""},
          {"1600-01-01T00:00:00Z",
           "UTC time out of range: \"1600-01-01T00:00:00Z\"; years 1678 to 2261 can be used"}}) {
        const QxNodePtr answer =
            Ask("", std::string(kWhoWhere) + R"(<node q:name="TimeRange" TimeFrom=")" + from + R"("/>)");
        EXPECT_EQ(Code(answer), kHrInvalidData) << from;
        EXPECT_EQ(Method(answer), -1) << from;
        EXPECT_NE(Text(answer, "ErrorSerialized").find(error), std::string::npos) << Text(answer, "ErrorSerialized");
    }
}

// Time texts are read by their leading fields, as the form's scan reads them; impossible dates and years
// the system's clock cannot hold are refused.
TEST(MetaInfoTimesTest, TimeTextsAreReadByTheirLeadingFields)
{
    const std::pair<const char*, const char*> cases[] = {
        {"2024-03-05T07:09:00Z", "2024-03-05T07:09:00Z"},
        {"2024-03-05T07:09:00.750Z", "2024-03-05T07:09:00Z"},
        {"2024-03-05T07:09:00", "2024-03-05T07:09:00Z"},
        {"2024-03-05 07:09:00", "2024-03-05T00:00:00Z"},
        {"2024-03-05", "2024-03-05T00:00:00Z"},
        {"1678-01-01T00:00:00Z", "1678-01-01T00:00:00Z"},
        {"2261-12-31T23:59:59Z", "2261-12-31T23:59:59Z"},
        {"yesterday", nullptr},
        {"2024-02-30T00:00:00Z", nullptr},
        {"2024-03-05T24:00:00Z", nullptr},
        {"1600-01-01T00:00:00Z", nullptr},
        {"1677-12-31T23:59:59Z", nullptr},
        {"2262-01-01T00:00:00Z", nullptr},
        {"9999-12-31T23:59:59Z", nullptr},
    };
    for (const auto& [text, read] : cases) {
        std::string got;
        const HRESULT code = CodeOf([&] { got = Corvane::FormatUtcTime(ParseUtcTime(text)); });
        EXPECT_EQ(code, read ? S_OK : kHrInvalidData) << text;
        if (read) {
            EXPECT_EQ(got, read) << text;
        }
    }
}

constexpr std::string_view kCheckerConfig = R"(
<node q:name="StaleRecordsExistenceChecker" DSMInstName="Dsm.Notifications" CheckIntervalSec:i64="60"
      SupressedProductIds:i32s="7|9" WaitIntervalMs:i64="1" QueriesProcessorUri="Service.QueriesProcessor"/>)";

constexpr std::string_view kOneRecord = R"(<Result><Row When="2024-03-01 10:00:00"/></Result>)";

class StaleRecordsTest : public RetrievalTest {
protected:
    void SetUp() override
    {
        RetrievalTest::SetUp();
        queries->SetScript(QueryScript{0, std::string(kOneRecord)});
    }
    void TearDown() override
    {
        if (checker) checker->Shutdown();
        checker.Reset();
        RetrievalTest::TearDown();
    }
    void Make(std::string_view config = kCheckerConfig)
    {
        checker = CreateComponent<CStaleRecordsExistenceChecker>(Tree(config));
    }
    bool Check(std::string_view from = "2024-03-01T00:00:00Z", std::string_view till = "2024-03-02T00:00:00Z")
    {
        return checker->IsStaleRecordsPresent(ParseUtcTime(from), ParseUtcTime(till));
    }
    uint32_t Subscribers()
    {
        uint32_t count = 0;
        m_host.DsmNotifications()->GetSubscriberCount(&count);
        return count;
    }

    ManualClock clock{ParseUtcTime("2024-03-05T12:00:00Z")};
    ComPtr<CComponentObject<CStaleRecordsExistenceChecker>> checker;
};

TEST_F(StaleRecordsTest, ThePresenceQueryAsksForOneRowInTheStretch)
{
    Make(R"(<node DSMInstName="Dsm.Notifications" CheckIntervalSec:i64="60" SupressedProductIds:i32="7"
                  WaitIntervalMs:i64="1" QueriesProcessorUri="Service.QueriesProcessor"/>)");
    EXPECT_TRUE(Check("2024-03-01T00:00:00Z", "2024-03-02T06:30:15Z"));
    const auto calls = queries->Calls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(Canonical(calls[0].node), Canonical(Tree(R"(
        <Query Page_size:n32="1" Top:n32="1" Paged_result:bool="true" Stateless:bool="false" Continuous:bool="false"
               PersistentMembership:bool="false" Query_Template_Name="query_top_data_no_order"
               Suppressed_Auditing_systems:i32s="7">
          <ConditionsRoot q:name="Conditions">
            <Condition q:name="Condition" operator="AND">
              <ConditionValues Columnn="When" Value="2024-03-01 00:00:00" Comparator="&gt;="/>
              <ConditionValues Columnn="When" Value="2024-03-02 06:30:15" Comparator="&lt;="/>
            </Condition>
          </ConditionsRoot>
        </Query>)")));
    EXPECT_FALSE(calls[0].hasContext) << "the check's own context is of kind 1 and the retriever binds none";
}

// An answer is reused for any range within the interval; a change notification makes the next call ask again.
TEST_F(StaleRecordsTest, AnAnswerIsReusedWithinTheIntervalUntilAChangeArrives)
{
    Make();
    EXPECT_TRUE(Check());
    EXPECT_EQ(Subscribers(), 1u) << "subscribed at the first check";
    clock.Advance(59s);
    EXPECT_TRUE(Check("2023-01-01T00:00:00Z", "2023-01-02T00:00:00Z"));
    EXPECT_EQ(queries->Count(QueryCallKind::Query), 1u);
    clock.Advance(2s);
    queries->SetScript(QueryScript{});
    EXPECT_FALSE(Check()) << "an empty result means no records";
    EXPECT_EQ(queries->Count(QueryCallKind::Query), 2u);

    const QxNodePtr change = QxNodePtr::Create("Change");
    EXPECT_EQ(m_host.DsmNotifications()->NotifyAdded(change.Get()), S_OK);
    EXPECT_FALSE(Check());
    EXPECT_EQ(queries->Count(QueryCallKind::Query), 3u);
    EXPECT_EQ(m_host.DsmNotifications()->NotifyRemoved(change.Get()), S_OK);
    EXPECT_EQ(m_host.DsmNotifications()->NotifyModified(change.Get()), S_OK);
    EXPECT_FALSE(Check());
    EXPECT_EQ(queries->Count(QueryCallKind::Query), 4u);
    EXPECT_EQ(Subscribers(), 1u) << "subscribed once";
    checker->Shutdown();
    EXPECT_EQ(Subscribers(), 0u);
}

TEST_F(StaleRecordsTest, AFailedCheckAnswersNoRecordsAndTheNextCallAsksAgain)
{
    LogCapture log;
    Make();
    QueryScript failing;
    failing.errorResult = E_FAIL;
    queries->SetScript(failing);
    EXPECT_FALSE(Check());
    EXPECT_EQ(log.Count("Corvane::CStaleRecordsExistenceChecker::ExecuteCheckPresenseQuery failed: "), 1u);
    EXPECT_EQ(log.Count("Corvane::CStaleRecordsExistenceChecker::IsStaleRecordsPresent failed: "), 1u);
    EXPECT_EQ(log.Count("Stale records existence result: false"), 1u);
    queries->SetScript(QueryScript{0, std::string(kOneRecord)});
    EXPECT_TRUE(Check());
    EXPECT_EQ(queries->Count(QueryCallKind::Query), 2u);
}

TEST_F(StaleRecordsTest, AnUnknownNotificationSourceFailsEveryCheckWithoutAQueryAndSettingsAreRequired)
{
    LogCapture log;
    Make(R"(<node DSMInstName="Dsm.Nowhere" CheckIntervalSec:i64="60" SupressedProductIds:i32s="7"
                  WaitIntervalMs:i64="1" QueriesProcessorUri="Service.QueriesProcessor"/>)");
    EXPECT_FALSE(Check());
    EXPECT_FALSE(Check());
    EXPECT_EQ(log.Count("Corvane::CStaleRecordsExistenceChecker::SubscribeToDSMChanges failed: "), 2u);
    EXPECT_EQ(log.Count("Corvane::CStaleRecordsExistenceChecker::IsStaleRecordsPresent failed: "), 2u);
    EXPECT_TRUE(queries->Calls().empty());

    for (const char* missing : {"DSMInstName", "CheckIntervalSec", "SupressedProductIds", "WaitIntervalMs",
                                "QueriesProcessorUri"}) {
        const QxNodePtr config = Tree(kCheckerConfig);
        config.DeleteAttribute(missing, true);
        EXPECT_EQ(CodeOf([&] { CreateComponent<CStaleRecordsExistenceChecker>(config); }), kHrNotFound) << missing;
    }
}

}  // namespace
}  // namespace cvn::test
