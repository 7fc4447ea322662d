// Data directory: relative and expanded DataDirectoryPath, registry key texts,
// overrides from the registry stand-in and ResolvePath.
#include <gtest/gtest.h>

#include <cstdlib>
#include <tuple>

#include "common/Settings/DataDirectory.h"
#include "tests/support/LogTestSupport.h"

namespace cvn {
namespace {

using test::LogTestScope;
using test::TempDir;

using test::RegistryScope;

TEST(DataDirectory, RelativeOrNoPathLandsUnderTheModuleDirectoryAndAbsoluteOnesGetASeparator)
{
    LogTestScope scope({{"General/DataDirectoryPath", "%CORVANE_TEST_SUBDIR%/data"}});
    setenv("CORVANE_TEST_SUBDIR", "var", 1);
    SetModuleFilePathForTests("/opt/corvane/lib/libcorvane.so");
    const DataDirectory service;
    EXPECT_EQ(service.Directory(), "/opt/corvane/lib/var/data/");
    EXPECT_EQ(service.ResolvePath("Logs\\"), "/opt/corvane/lib/var/data/Logs\\");
    EXPECT_EQ(service.ResolvePath("/abs/%CORVANE_TEST_SUBDIR%"), "/abs/var");
    EXPECT_EQ(service.ResolvePath("%CORVANE_UNSET_FOR_TEST%/x"), "/opt/corvane/lib/var/data/%CORVANE_UNSET_FOR_TEST%/x");
    unsetenv("CORVANE_TEST_SUBDIR");

    // Without the setting it is the module directory; an absolute one gets its separator.
    scope.SetSettings({});
    EXPECT_EQ(DataDirectory().Directory(), "/opt/corvane/lib/");
    scope.SetSettings({{"General/DataDirectoryPath", "/srv/corvane"}});
    // Joined unchanged, an absolute directory without its separator would glue names together.
    EXPECT_EQ(DataDirectory().ResolvePath("Logs/"), "/srv/corvane/Logs/");
    EXPECT_FALSE(IsRelativePath("C:\\data"));
    EXPECT_FALSE(IsRelativePath("\\data"));
    EXPECT_TRUE(IsRelativePath("data"));
}

TEST(DataDirectory, RegistryKeyTextNamesTheHive)
{
    using enum os::RegistryHive;
    for (const auto& [text, hive, subkey] : {std::tuple{"HKCU\\Software\\Corvane", CurrentUser, "Software\\Corvane"},
                                             {"HKEY_CURRENT_USER/Software", CurrentUser, "Software"},
                                             {"HKEY_LOCAL_MACHINE\\Software", LocalMachine, "Software"},
                                             {"HKU\\Software", LocalMachine, "HKU\\Software"},
                                             {"hkcu\\Software", LocalMachine, "hkcu\\Software"}}) {
        const RegistryKeyText parsed = ParseRegistryKeyText(text);
        EXPECT_EQ(parsed.hive, hive) << text;
        EXPECT_EQ(parsed.subkey, subkey) << text;
    }
}

TEST(DataDirectory, OverridesFromTheRegistryMoveTheLongestMatchingRunAndBadKeysGiveNone)
{
    TempDir dir;
    dir.Write("HKEY_CURRENT_USER/Software/Corvane/Overrides.reg",
              "# overrides\n"
              "Logs = REG_SZ:" + dir.Path() + "/moved-logs\n"
              "Logs\\Archive = REG_EXPAND_SZ:%CORVANE_TEST_ARCHIVE%\n"
              "Cache = REG_SZ:relative-cache\n"
              "Count = REG_DWORD:7\n"
              "this line is malformed\n"
              "Bad = REG_BINARY:00\n");
    setenv("CORVANE_TEST_ARCHIVE", "/archive", 1);
    RegistryScope registry(dir.Path());
    LogTestScope scope({{"General/DataDirectoryPathOverrideRegKey", "HKCU\\software\\CORVANE\\Overrides"},
                        {"General/DataDirectoryPath", "/data"}});
    const DataDirectory service;
    EXPECT_EQ(service.OverrideCount(), 3u);
    EXPECT_EQ(service.ResolvePath("Logs\\"), dir.Path() + "/moved-logs/");
    EXPECT_EQ(service.ResolvePath("logs/archive/2024"), "/archive/2024");
    EXPECT_EQ(service.ResolvePath("Logs\\Today\\x.log"), dir.Path() + "/moved-logs/Today/x.log");
    EXPECT_EQ(service.ResolvePath("Cache/a"), "/data/relative-cache/a");
    EXPECT_EQ(service.ResolvePath("Other"), "/data/Other");
    const auto debug = scope.DebugLines();
    ASSERT_EQ(debug.size(), 2u);
    EXPECT_NE(debug[0].find("malformed line 6"), std::string::npos) << debug[0];
    unsetenv("CORVANE_TEST_ARCHIVE");

    // A missing or unreadable key leaves the table empty.
    const std::string file = dir.Write("HKEY_LOCAL_MACHINE/Software/Locked.reg", "Logs = REG_SZ:/x\n");
    EXPECT_TRUE(DataDirectory::ReadOverrides("Software\\Missing").empty());
    EXPECT_TRUE(DataDirectory::ReadOverrides("HKLM\\").empty());
    EXPECT_EQ(DataDirectory::ReadOverrides("HKLM/Software/Locked").size(), 1u);
    std::filesystem::permissions(file, std::filesystem::perms::none);
    if (!std::ifstream(file)) {
        EXPECT_TRUE(DataDirectory::ReadOverrides("HKLM/Software/Locked").empty());
    }
}

}  // namespace
}  // namespace cvn
