// Settings store: the environment beats the INI files, INI reading rules, the
// INI file list and the E_ABORT rule.
#include <gtest/gtest.h>

#include "common/Settings/EnvironmentSettingsSource.h"
#include "common/Settings/IniSettingsSource.h"
#include "platform/os/Ini.h"
#include "tests/support/LogTestSupport.h"

namespace cvn {
namespace {

using test::MapSettingsSource;
using test::TempDir;

EnvironmentLookup FakeEnvironment(std::map<std::string, std::string> values)
{
    return [values](const std::string& name) -> std::optional<std::string> {
        const auto found = values.find(name);
        if (found == values.end()) return std::nullopt;
        return found->second;
    };
}

TEST(SettingsStore, EnvironmentBeatsEveryIniFileAndEmptyValuesFallThrough)
{
    TempDir dir;
    const std::string global = dir.Write("global.ini", "[Logger]\nMaxSeverity=DBG3\n");
    const std::string local = dir.Write("app.ini", "[Logger]\nMaxSeverity=WARN\n");
    const auto environment = FakeEnvironment({{"GLOBAL_SETTINGS_INI", global}, {"GS_Logger_MaxSeverity", "  ERR \t"}});
    SettingsStore store({std::make_shared<IniSettingsSource>(std::vector<std::string>{local}, environment),
                         std::make_shared<EnvironmentSettingsSource>(environment)});
    std::string value;
    EXPECT_EQ(store.GetSetting("Logger", "MaxSeverity", value), S_OK);
    EXPECT_EQ(value, "ERR");

    // Without the variable, GLOBAL_SETTINGS_INI is read before the list.
    const auto noVariable = FakeEnvironment({{"GLOBAL_SETTINGS_INI", global}});
    SettingsStore iniOnly({std::make_shared<IniSettingsSource>(std::vector<std::string>{local}, noVariable),
                           std::make_shared<EnvironmentSettingsSource>(noVariable)});
    EXPECT_EQ(iniOnly.GetSetting("Logger", "MaxSeverity", value), S_OK);
    EXPECT_EQ(value, "DBG3");

    // An empty value in the first file falls through to the next.
    const std::string first = dir.Write("a.ini", "[General]\nDataDirectoryPath=   \n");
    const std::string missing = dir.Path() + "/missing.ini";
    const std::string second = dir.Write("b.ini", "[general]\ndatadirectorypath = \"/srv/data\" \n");
    IniSettingsSource source({first, missing, second}, FakeEnvironment({}));
    EXPECT_EQ(source.Get("", "DataDirectoryPath", value), S_OK);
    EXPECT_EQ(value, "/srv/data");
    EXPECT_EQ(source.Get("General", "Other", value), kHrNotFound);
}

TEST(SettingsStore, AbortEndsTheLookupAndOtherFailuresFallThrough)
{
    struct Fixed final : ISettingsSource {
        HRESULT result;
        explicit Fixed(HRESULT r) : result(r) {}
        HRESULT Get(std::string_view, std::string_view, std::string& value) const override
        {
            value = "fixed";
            return result;
        }
    };
    auto ini = std::make_shared<MapSettingsSource>(std::map<std::string, std::string>{{"General/Key", "ini"}});
    SettingsStore store({ini, std::make_shared<Fixed>(E_ABORT)});
    std::string value;
    EXPECT_EQ(store.GetSetting("General", "Key", value), E_ABORT);

    SettingsStore tolerant({ini, std::make_shared<Fixed>(E_FAIL)});
    EXPECT_EQ(tolerant.GetSetting("General", "Key", value), S_OK);
    EXPECT_EQ(value, "ini");
    EXPECT_EQ(tolerant.GetSetting("General", "Missing", value), kHrNotFound);
}

TEST(SettingsStore, ReadersFallBackToTheirDefaults)
{
    test::LogTestScope scope({{"Debug/Number", "0x10"}, {"Debug/Bad", "12abc"}, {"Debug/Text", "yes"}});
    EXPECT_EQ(GetSettingInt("Debug", "Number", 3), 16);
    EXPECT_EQ(GetSettingInt("Debug", "Bad", 3), 3);
    EXPECT_EQ(GetSettingInt("Debug", "Missing", 3), 3);
    EXPECT_EQ(GetSetting("Debug", "Text", "no"), "yes");
    EXPECT_EQ(GetSetting("Debug", "Missing", "no"), "no");
}

TEST(IniReader, FollowsTheSystemRulesInUtf8AndUtf16Files)
{
    const std::string text =
        "; comment\n"
        "garbage line without equals\n"
        "[Broken\n"
        "Key=outside\n"
        "[ LOGGER ]\r\n"
        "  maxseverity  =  DBG2  \r\n"
        "MaxSeverity=second\n"
        "Quoted='  spaced  '\n"
        "[Other]\n"
        "Key=other\n"
        "[Logger]\n"
        "Late=ignored, only the first section counts\n";
    EXPECT_EQ(os::FindIniValue(text, "Logger", "MaxSeverity"), "DBG2");
    EXPECT_EQ(os::FindIniValue(text, "logger", "QUOTED"), "  spaced  ");
    EXPECT_EQ(os::FindIniValue(text, "Other", "Key"), "other");
    EXPECT_EQ(os::FindIniValue(text, "Logger", "Late"), "");
    EXPECT_EQ(os::FindIniValue(text, "Broken", "Key"), "");

    // UTF-16 files are read; unreadable files are empty.
    TempDir dir;
    std::string bytes = "\xFF\xFE";
    for (char c : std::string("[General]\r\nKey=Wert\r\n")) {
        bytes += c;
        bytes += '\0';
    }
    const std::string file = dir.Write("wide.ini", bytes);
    EXPECT_EQ(os::ReadIniValue(file, "General", "Key"), "Wert");
    EXPECT_EQ(os::ReadIniValue(dir.Path(), "General", "Key"), "");  // a directory
    EXPECT_EQ(os::ReadIniValue(dir.Path() + "/none.ini", "General", "Key"), "");
}

TEST(IniFileList, ExecutableThenModuleDirectories)
{
    EXPECT_EQ(BuildIniFileList("/opt/app/bin/host", "/opt/app/lib/libcorvane.so"),
              (std::vector<std::string>{"/opt/app/bin/host.ini", "/opt/app/bin/libcorvane.ini",
                                        "/opt/app/bin/GlobalSettings.ini", "/opt/app/lib/libcorvane.ini",
                                        "/opt/app/lib/GlobalSettings.ini"}));
    EXPECT_EQ(BuildIniFileList("/opt/app/host", "/opt/app/libcorvane.so"),
              (std::vector<std::string>{"/opt/app/host.ini", "/opt/app/libcorvane.ini", "/opt/app/GlobalSettings.ini"}));
    EXPECT_EQ(BuildIniFileList("/opt/app/test_common", "/opt/app/test_common"),
              (std::vector<std::string>{"/opt/app/test_common.ini", "/opt/app/GlobalSettings.ini"}));
}

}  // namespace
}  // namespace cvn
