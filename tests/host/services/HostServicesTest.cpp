// The host services started together: reachable by their instance names and
// through the module's helpers, a failed start leaves nothing registered, and
// Stop saves the store.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "common/ServiceLayer/NamedServices.h"
#include "corvane/NamedInstances.h"
#include "host/services/HostServices.h"
#include "tests/support/HostTestSupport.h"

namespace cvn::host::test {
namespace {

template <class I>
ComPtr<I> Resolve(const char16_t* name)
{
    ComPtr<I> object;
    SkGetNamedInstance(name, 0, &I::kIid, object.PutVoid());
    return object;
}

class HostServicesTest : public ::testing::Test {
protected:
    void TearDown() override { m_services.Stop(); }
    void WriteFile(const std::string& text) { m_dir.Write("config.xml", text); }

    TempDir m_dir;
    std::string m_file = m_dir.File("config.xml");
    HostServices m_services;
};

TEST_F(HostServicesTest, EveryServiceIsReachableByItsNameUntilStopAndWritesAreSavedAtStop)
{
    WriteFile(R"(<nr><node q:name="Statuses"><node q:name="OverviewMetricsStatus" Ready:bool="true"/></node></nr>)");
    const HostServicesOptions options{.configFile = m_file, .dsmInstanceName = u"Test.Dsm"};
    m_services.Start(options);
    const auto storage = Resolve<IConfigStorage>(kAppConfigStorageName);
    ASSERT_TRUE(storage);
    EXPECT_TRUE(Read(storage.Get(), "\\Statuses\\OverviewMetricsStatus").GetAttributeOr("Ready", false));
    EXPECT_TRUE(Resolve<IConfigStorage>(kConfigServerName));
    EXPECT_TRUE(Resolve<IServiceClient>(kServiceClientName));
    EXPECT_TRUE(Resolve<IRequestContextMgr>(kRequestContextMgrName));
    EXPECT_TRUE(Resolve<IDsmNotifications>(u"Test.Dsm"));

    // The module's helpers write by path and read back through either name, and subscribers hear it.
    auto sink = CreateComponent<RecordingSink>();
    const auto subscription =
        Follow(Resolve<IConfigSubscriptions>(kConfigServerName).Get(), "\\Configuration", sink.Get());
    WriteConfigNode(ConfigSource::AppConfigStorage, "\\Configuration\\Plans",
                    Tree(R"(<nr><node Count:i32="2"><Detail q:name="D"/></node></nr>)"));
    EXPECT_TRUE(sink->WaitForCount(1));
    EXPECT_TRUE(ReadConfigNode(ConfigSource::ConfigServer, "\\Configuration\\Plans", true).GetChild("D", false));
    EXPECT_FALSE(ReadConfigNode(ConfigSource::AppConfigStorage, "\\Statuses\\Missing", false));
    EXPECT_THROW(ReadConfigNode(ConfigSource::ConfigServer, "\\Statuses\\Missing", true), HRX);

    ASSERT_EQ(S_OK, m_services.Stop());
    EXPECT_FALSE(Resolve<IConfigStorage>(kAppConfigStorageName));
    EXPECT_FALSE(Resolve<IDsmNotifications>(u"Test.Dsm"));
    HostServices restarted;
    restarted.Start(options);
    EXPECT_EQ(2, Read(restarted.ConfigServer(), "\\Configuration\\Plans").GetRequiredAttribute<int32_t>("Count"));
}

TEST_F(HostServicesTest, FailedStartNamesTheCauseAndLeavesNothingRegistered)
{
    // A missing file is allowed only when told, and is then written at Stop.
    EXPECT_EQ(HResultFromWin32(ERROR_FILE_NOT_FOUND), ThrownBy([&] { m_services.Start({.configFile = m_file}); }).code);
    m_services.Start({.configFile = m_file, .configFileMayBeMissing = true});
    m_services.Stop();
    EXPECT_TRUE(std::filesystem::exists(m_file));

    const std::string broken = "<nr>\n<node q:name=\"Broken\">\n</nr>\n";
    WriteFile(broken);
    const Thrown thrown = ThrownBy([&] { m_services.Start({.configFile = m_file}); });
    EXPECT_EQ(kHrInvalidData, thrown.code);
    EXPECT_NE(std::string::npos, thrown.text.find(m_file + "': line 3")) << thrown.text;
    EXPECT_FALSE(m_services.IsStarted());
    std::ifstream in(m_file, std::ios::binary);
    EXPECT_EQ(broken, std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()));

    // A name already taken: what was registered before it is released again.
    auto squatter = CreateComponent<CServiceClient>();
    ASSERT_EQ(S_OK, SkRegisterNamedInstance(kRequestContextMgrName, squatter.Get()));
    EXPECT_EQ(HResultFromWin32(183), ThrownBy([&] { m_services.Start(HostServicesOptions{}); }).code);
    SkUnregisterNamedInstance(kRequestContextMgrName);
    EXPECT_FALSE(Resolve<IConfigStorage>(kAppConfigStorageName));
    EXPECT_FALSE(Resolve<IServiceClient>(kServiceClientName));
}

}  // namespace
}  // namespace cvn::host::test
