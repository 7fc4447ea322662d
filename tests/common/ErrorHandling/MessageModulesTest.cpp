// Message modules: names from the settings, five slots, failure lines, bare
// names beside the module, message table files and the shipped Faultbook.dll.
#include <gtest/gtest.h>

#include "common/ErrorHandling/ErrorMessages.h"
#include "common/ErrorHandling/MessageModules.h"
#include "common/ErrorHandling/MessageTable.h"
#include "platform/os/SystemMessages.h"
#include "tests/support/LogTestSupport.h"

namespace cvn {
namespace {

using test::LogTestScope;
using test::TempDir;

std::string Table(const std::string& text) { return "CORVANE-MESSAGE-TABLE 1\n" + text; }

std::string Lookup(const MessageModuleLists& lists, HRESULT code, const std::vector<std::string>* arguments = nullptr)
{
    MessageCache cache;
    return MessageLookup(lists, &os::FindSystemMessage, cache).GetErrorMessage(code, arguments);
}

constexpr char kFailureLine[] = "Loading errormsg module '";

TEST(MessageModules, MissingModuleGivesOneFailureLineAndSystemTexts)
{
    TempDir dir;
    LogTestScope scope;
    MessageModuleLists lists;
    LoadMessageModules(lists, "Faultbook.dll", "", dir.Path() + "/");
    EXPECT_EQ(lists.primary.Size(), 0u);
    const auto lines = scope.sink.Matching(kFailureLine);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("| ERR  |"), std::string::npos);
    EXPECT_NE(lines[0].find("Loading errormsg module 'Faultbook.dll' failed: 0x8007007E The specified module could "
                            "not be found\r\n"),
              std::string::npos)
        << lines[0];
    EXPECT_EQ(Lookup(lists, E_ACCESSDENIED), "Access is denied");
    EXPECT_EQ(Lookup(lists, static_cast<HRESULT>(0x80040C0B)), "<no description>");
}

TEST(MessageModules, NamesSplitAtSeparatorsAndOnlyFiveSlots)
{
    TempDir dir;
    LogTestScope scope;
    std::string names;
    for (int i = 1; i <= 6; ++i) {
        dir.Write("m" + std::to_string(i) + ".txt", Table("0x80040300 text of module " + std::to_string(i) + "\n"));
        names += "m" + std::to_string(i) + ".txt" + (i % 3 == 0 ? " | " : i % 2 == 0 ? ";" : ",,");
    }
    MessageModuleLists lists;
    LoadMessageModules(lists, names, "", dir.Path() + "/");
    EXPECT_EQ(lists.primary.Size(), 5u);
    EXPECT_EQ(Lookup(lists, static_cast<HRESULT>(0x80040300)), "text of module 1");
    const auto lines = scope.sink.Matching(kFailureLine);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("Loading errormsg module 'm6.txt' failed: No more slots"), std::string::npos) << lines[0];
}

TEST(MessageModules, BareNamesLiveBesideTheModuleAndPathsAreTakenAsGiven)
{
    TempDir dir;
    TempDir other;
    LogTestScope scope;
    dir.Write("Primary.dll", Table("0x80040513 Unknown request type '%s' in %s.\n"));
    const std::string fallback = other.Write("Fallback.dll", Table("0x80040C0B Fallback busy.\n5 never: the system wins\n"));
    MessageModuleLists lists;
    LoadMessageModules(lists, "Primary.dll;" + fallback, fallback, dir.Path() + "/");
    EXPECT_EQ(lists.primary.Size(), 2u);
    EXPECT_EQ(lists.fallback.Size(), 1u);
    EXPECT_TRUE(scope.sink.Matching(kFailureLine).empty());
    const std::vector<std::string> arguments{"Frobnicate", "the gate"};
    EXPECT_EQ(Lookup(lists, static_cast<HRESULT>(0x80040513), &arguments), "Unknown request type 'Frobnicate' in the gate");
    EXPECT_EQ(Lookup(lists, static_cast<HRESULT>(0x80040C0B)), "Fallback busy");
    EXPECT_EQ(Lookup(lists, E_ACCESSDENIED), "Access is denied");
}

TEST(MessageTable, MalformedFilesAreRefusedWithTheLineNamed)
{
    LogTestScope scope;
    std::unique_ptr<MessageTable> table;
    EXPECT_EQ(MessageTable::Parse("0x1 no header\n", "a", table), ERROR_INVALID_DATA);
    EXPECT_EQ(MessageTable::Parse(Table("# only comments\n\n0x10 ok\nnot-a-number text\n"), "b", table),
              ERROR_INVALID_DATA);
    EXPECT_EQ(MessageTable::Parse(Table("0x10 one\n16 again\n"), "c", table), ERROR_INVALID_DATA);
    EXPECT_EQ(MessageTable::Parse(Table("0x10\n"), "d", table), ERROR_INVALID_DATA);
    EXPECT_EQ(MessageTable::Parse("", "e", table), ERROR_INVALID_DATA);
    EXPECT_EQ(table, nullptr);
    const auto debug = scope.DebugLines();
    ASSERT_EQ(debug.size(), 5u);
    EXPECT_NE(debug[1].find("'b' line 5"), std::string::npos) << debug[1];

    ASSERT_EQ(MessageTable::Parse(Table("0x80040C0A Line one\\r\\nline two \\\\ done\n"), "f", table), 0u);
    EXPECT_EQ(table->FindMessage(0x80040C0A), "Line one\r\nline two \\ done");
    EXPECT_FALSE(table->FindMessage(0x80040C0B));
    EXPECT_EQ(MessageTable::Load("/nonexistent/Faultbook.dll", table), 126u);
    EXPECT_EQ(MessageTable::Load("/tmp", table), ERROR_ACCESS_DENIED);
}

TEST(MessageTable, ShippedFaultbookHasTheModulesCodes)
{
    std::unique_ptr<MessageTable> table;
    ASSERT_EQ(MessageTable::Load(std::string(CORVANE_BIN_DIR) + "/Faultbook.dll", table), 0u);
    for (uint32_t code : {0x80040513u, 0x80040C03u, 0x80040C0Au, 0x80040C0Bu, 0x80041910u, 0x80041911u}) {
        const auto text = table->FindMessage(code);
        ASSERT_TRUE(text) << std::hex << code;
        EXPECT_GT(text->size(), 10u);
    }
    EXPECT_EQ(*table->FindMessage(0x80040C03u), "The reporting database is disabled.");
}

}  // namespace
}  // namespace cvn
