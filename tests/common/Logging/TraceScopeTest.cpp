// Severities, message building, tracing scopes and node text in log lines.
#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>

#include "common/ErrorHandling/HRX.h"
#include "common/Logging/Log.h"
#include "common/Logging/NodeText.h"
#include "tests/support/LogTestSupport.h"
#include "tests/support/ServiceTestSupport.h"

namespace cvn::log {
namespace {

using cvn::test::FakeClock;
using cvn::test::LogTestScope;

// The message part of a line (after the source column).
std::string Message(const std::string& line)
{
    const size_t bar = line.find("| ", line.find(':', 30));
    return line.substr(bar + 2, line.size() - bar - 4);
}

TEST(Severity, MaxSeverityTextSwitchesLinesOnAndOffIsReadEveryFiveSecondsAndDisabledMessagesAreNeverBuilt)
{
    LogTestScope scope({{"Logger/MaxSeverity", "nOnE"}});
    EXPECT_FALSE(IsEnabled(Severity::Crit));
    scope.SetSettings({{"Logger/MaxSeverity", "err"}});
    EXPECT_TRUE(IsEnabled(Severity::Crit));
    EXPECT_TRUE(IsEnabled(Severity::Err));
    EXPECT_FALSE(IsEnabled(Severity::Warn));
    scope.SetSettings({{"Logger/MaxSeverity", "LOUD"}});
    EXPECT_TRUE(IsEnabled(Severity::Dbg));
    EXPECT_FALSE(IsEnabled(Severity::Dbg2));
    EXPECT_FALSE(IsEnabled(Severity::None));

    // The settings are read again only after five seconds.
    scope.SetSettings({{"Logger/MaxSeverity", "DBG3"}});
    EXPECT_TRUE(IsEnabled(Severity::Dbg3));
    SettingsStore::Global().ResetSources({std::make_shared<cvn::test::MapSettingsSource>(
        std::map<std::string, std::string>{{"Logger/MaxSeverity", "ERR"}})});
    FakeClock::tickMs += 4999;
    EXPECT_TRUE(IsEnabled(Severity::Dbg3));
    FakeClock::tickMs += 1;
    EXPECT_FALSE(IsEnabled(Severity::Dbg3));

    // Disabled messages are never built.
    int built = 0;
    auto piece = [&built] { return ++built; };
    CV_LOG(Dbg, "value " << piece());
    CV_LOG(Err, "value " << piece());
    EXPECT_EQ(built, 1);
    ASSERT_EQ(scope.sink.Lines().size(), 1u);
    EXPECT_EQ(Message(scope.sink.Lines()[0]), "value 1");

    // Even at NONE the settings are still re-read: DBG lines keep reaching the out-of-line check.
    scope.SetSettings({{"Logger/MaxSeverity", "NONE"}});
    SettingsStore::Global().ResetSources({std::make_shared<cvn::test::MapSettingsSource>(
        std::map<std::string, std::string>{{"Logger/MaxSeverity", "DBG2"}})});
    FakeClock::tickMs += 5000;
    EXPECT_TRUE(IsEnabled(Severity::Dbg));
    EXPECT_TRUE(IsEnabled(Severity::Dbg2));
}

TEST(MessageBuilder, WritesNumbersGuidsAndErrorsAndAThrowingPieceMarksTheMessage)
{
    LogTestScope scope;
    auto failing = []() -> const char* { throw std::runtime_error("boom"); };
    CV_LOG(Warn, "before " << failing() << " after");
    ASSERT_EQ(scope.sink.Lines().size(), 1u);
    EXPECT_EQ(Message(scope.sink.Lines()[0]), "before ... (***EXCEPTION***)");

    const GUID guid = MakeGuid(0x64107A4E, 0x9383, 0x4398, 0x97FF, 0xEE55F0DA7FDF);
    CV_LOG(Err, guid << ' ' << -5 << ' ' << uint64_t(7) << ' ' << Severity::Dbg2 << ' ' << HRX(E_INVALIDARG, nullptr));
    ASSERT_EQ(scope.sink.Lines().size(), 2u);
    const std::string message = Message(scope.sink.Lines()[1]);
    EXPECT_EQ(message.rfind("{64107A4E-9383-4398-97FF-EE55F0DA7FDF} -5 7 6 0x80070057 ", 0), 0u) << message;
}

TEST(TraceScope, EntryExitAndElapsedTimeWithIndentation)
{
    LogTestScope scope({{"Logger/MaxSeverity", "DBG2"}});
    {
        CV_TRACE(Dbg, "Outer::Run");
        {
            CV_TRACE(Dbg2, "Inner::Step");
            FakeClock::counter += 5;  // 0.5 us
        }
        {
            CV_TRACE(Dbg3, "Hidden::Lookup");
        }
        FakeClock::counter += 12345678;
    }
    const auto lines = scope.sink.Lines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(Message(lines[0]), "Entering: Outer::Run");
    EXPECT_EQ(Message(lines[1]), "  Entering: Inner::Step");
    EXPECT_EQ(Message(lines[2]), "  Exiting: Inner::Step [0.000 ms]");
    EXPECT_EQ(Message(lines[3]), "Exiting: Outer::Run [1 234.568 ms]");
    EXPECT_EQ(CurrentIndent(), 0);
}

TEST(TraceScope, ExitByExceptionUsesTheExceptionSeverityAndNestingIsClampedAtThirtyLevels)
{
    LogTestScope scope({{"Logger/MaxSeverity", "ERR"}});
    try {
        TraceScope trace(Severity::Dbg, Severity::Err, "Gate::Fail", __FILE__, __LINE__);
        throw std::runtime_error("x");
    } catch (...) {
    }
    const auto lines = scope.sink.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(Message(lines[0]).rfind("EXCEPTION at: Gate::Fail [", 0), 0u);
    EXPECT_NE(lines[0].find("| ERR  |"), std::string::npos);

    // Deep nesting (of enabled scopes) is clamped at thirty levels.
    scope.SetSettings({});
    std::vector<std::unique_ptr<TraceScope>> scopes;
    for (int i = 0; i < 35; ++i) scopes.push_back(std::make_unique<TraceScope>(Severity::Dbg, Severity::Dbg, "L", "f.cpp", 1));
    CV_LOG(Err, "deep");
    EXPECT_EQ(Message(scope.sink.Lines().back()), std::string(60, ' ') + "deep");
    while (!scopes.empty()) scopes.pop_back();
    EXPECT_EQ(CurrentIndent(), 0);
}

TEST(NodeText, HiddenAttributesAreMaskedInTheTextOnlyAndAMalformedTableIsRefused)
{
    LogTestScope scope({{"Logger/HiddenNodeTypeAttrs", " Credentials : Password , Token ; * : Secret ;"}});
    const QxNodePtr root = QxNodePtr::Parse(R"(
        <Request q:name="R" Secret:str="s0">
          <Credentials Password:str="p1" User:str="u1"/>
          <Credentials Password:str="p2" User:str="u2"/>
          <Other Password:str="visible"/>
        </Request>)");
    CV_LOG(Dbg2, "never built at DBG " << root);
    CV_LOG(Dbg, "Request: " << root);
    ASSERT_EQ(scope.sink.Lines().size(), 1u);
    const std::string line = scope.sink.Lines()[0];
    EXPECT_NE(line.find("Request: QxNode[0x"), std::string::npos);
    EXPECT_EQ(line.find("p1"), std::string::npos) << line;
    EXPECT_EQ(line.find("p2"), std::string::npos) << line;  // the second unnamed sibling too
    EXPECT_EQ(line.find("s0"), std::string::npos) << line;
    EXPECT_NE(line.find("visible"), std::string::npos);
    EXPECT_NE(line.find("u2"), std::string::npos);
    EXPECT_EQ(line.find("<nr>"), std::string::npos);
    EXPECT_EQ(root.GetChild(uint64_t(1)).GetRequiredAttribute<std::string>("Password"), "p2");
    EXPECT_EQ(root.GetRequiredAttribute<std::string>("Secret"), "s0");
    CV_LOG(Err, "null " << QxNodePtr());
    EXPECT_EQ(Message(scope.sink.Lines()[1]), "null QxNode[<null>]");

    // A malformed table fails with E_INVALIDARG, and a line with a node in it is marked.
    for (const char* text : {"NoColon", "A:b:c", "A:b; B"})
        EXPECT_EQ(test::CodeOf([&] { HiddenAttributeTable::Parse(text); }), E_INVALIDARG) << text;
    scope.SetSettings({{"Logger/HiddenNodeTypeAttrs", "A:b:c"}});
    CV_LOG(Err, "node " << QxNodePtr::Create("N", "T"));
    ASSERT_EQ(scope.sink.Lines().size(), 3u);
    EXPECT_EQ(Message(scope.sink.Lines()[2]), "node ... (***EXCEPTION***)");
}

// A request whose conditions nest depth levels deep, built upwards so that each step is cheap;
// children siblings of the innermost condition, each with a value of valueText.
QxNodePtr DeepRequest(int depth, int children, const std::string& valueText)
{
    QxNodePtr inner = QxNodePtr::Create({}, "Condition");
    for (int i = 0; i < children; ++i) {
        const QxNodePtr leaf = QxNodePtr::Create({}, "ConditionValues");
        leaf.SetAttribute("Values", valueText);
        inner.AddChild(leaf);
    }
    for (int level = 1; level < depth; ++level) {
        inner.SetAttribute("operator", "AND");
        inner.SetAttribute("Secret", "hidden-" + std::to_string(level));
        QxNodePtr outer = QxNodePtr::Create({}, "Condition");
        outer.AddChild(inner);
        inner = std::move(outer);
    }
    return inner;
}

TEST(NodeText, DumpsAreBoundedPerLineAndPerDumpAndTheMaskingWalkTakesAnyDepth)
{
    const std::string deeper = "<!-- not written: nodes nested deeper than 1000 levels -->";
    const std::string truncated = "\r\n... truncated: the node text is longer than 262144 bytes";
    std::string euros;  // three bytes each: the cut falls inside one for two of the three offsets below
    for (int i = 0; i < 100000; ++i) euros += "\xE2\x82\xAC";
    struct Case {
        const char* what;
        int depth;
        int children;
        std::string value;
        const char* hidden;
        bool deep;     // the deeper-levels comment shows
        bool cut;      // the text ends with the truncation line
        size_t longestLine;  // after the line's own head
    } cases[] = {
        // A 760 KB request 20,000 levels deep once wrote 1.6 GB: every line indented by its depth.
        {"20,000 levels", 20000, 0, "", "", true, false, 60 + 60},
        {"100,000 levels, masked at every level", 100000, 0, "", "Condition: Secret", true, false, 60 + 60},
        {"wide", 3, 20000, std::string(40, 'v'), "", false, true, 60 + 70},
        {"one long value", 2, 1, euros, "", false, true, kMaxNodeDumpBytes},
        {"one long value, one byte on", 2, 1, "v" + euros, "", false, true, kMaxNodeDumpBytes},
        {"one long value, two bytes on", 2, 1, "vv" + euros, "", false, true, kMaxNodeDumpBytes},
    };
    for (const Case& c : cases) {
        LogTestScope scope({{"Logger/MaxSeverity", "DBG2"}, {"Logger/HiddenNodeTypeAttrs", c.hidden}});
        const QxNodePtr request = DeepRequest(c.depth, c.children, c.value);
        CV_LOG(Dbg2, "Request: " << request);
        ASSERT_EQ(scope.sink.Lines().size(), 1u) << c.what;
        const std::string line = scope.sink.Lines()[0];
        EXPECT_LT(line.size(), kMaxNodeDumpBytes + 300) << c.what;
        EXPECT_EQ(line.find(deeper) != std::string::npos, c.deep) << c.what;
        EXPECT_EQ(line.find(truncated) != std::string::npos, c.cut) << c.what;
        EXPECT_EQ(line.find("hidden-") == std::string::npos, *c.hidden != '\0') << c.what;
        size_t longest = 0;
        for (size_t start = line.find('\n') + 1, end; start < line.size(); start = end + 1) {
            end = std::min(line.find('\n', start), line.size());
            longest = std::max(longest, end - start);
        }
        EXPECT_LE(longest, c.longestLine) << c.what;
        EXPECT_EQ(ToUtf8(ToUtf16(line)), line) << c.what;  // not cut inside a character
    }
}

}  // namespace
}  // namespace cvn::log
