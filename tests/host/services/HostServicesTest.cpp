// The host services started together: reachable by their instance names, a
// bad configuration file leaves nothing registered, and Stop saves the store.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

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
    void WriteFile(const std::string& text) { std::ofstream(m_file, std::ios::binary) << text; }

    TempDir m_dir;
    std::string m_file = m_dir.File("config.xml");
    HostServices m_services;
};

TEST_F(HostServicesTest, EveryServiceIsReachableByItsName)
{
    WriteFile(R"(<nr><node q:name="Statuses"><node q:name="OverviewMetricsStatus" Ready:bool="true"/></node></nr>)");
    HostServicesOptions options;
    options.configFile = m_file;
    options.dsmInstanceName = u"Test.Dsm";
    m_services.Start(options);

    const auto storage = Resolve<IConfigStorage>(kAppConfigStorageName);
    ASSERT_TRUE(storage);
    EXPECT_TRUE(Read(storage.Get(), "\\Statuses\\OverviewMetricsStatus").GetAttributeOr("Ready", false));
    EXPECT_TRUE(Resolve<IConfigStorage>(kConfigServerName));
    EXPECT_TRUE(Resolve<IConfigSubscriptions>(kConfigServerName));
    EXPECT_TRUE(Resolve<IServiceClient>(kServiceClientName));
    EXPECT_TRUE(Resolve<IRequestContextMgr>(kRequestContextMgrName));
    EXPECT_TRUE(Resolve<IDsmNotifications>(u"Test.Dsm"));

    m_services.Stop();
    EXPECT_FALSE(Resolve<IConfigStorage>(kAppConfigStorageName));
    EXPECT_FALSE(Resolve<IDsmNotifications>(u"Test.Dsm"));
}

TEST_F(HostServicesTest, WritesThroughOneNameAreSeenThroughTheOtherAndSavedAtStop)
{
    HostServicesOptions options;
    options.configFile = m_file;
    options.configFileMayBeMissing = true;
    m_services.Start(options);
    auto sink = CreateComponent<RecordingSink>();
    const auto subscription =
        Follow(Resolve<IConfigSubscriptions>(kConfigServerName).Get(), "\\Configuration", sink.Get());

    ASSERT_EQ(S_OK, Write(Resolve<IConfigStorage>(kAppConfigStorageName).Get(),
                          AtPath("\\Configuration\\Plans", "<nr><node Count:i32=\"2\"/></nr>")));
    EXPECT_TRUE(sink->WaitForCount(1));
    EXPECT_TRUE(Read(Resolve<IConfigStorage>(kConfigServerName).Get(), "\\Configuration\\Plans"));
    ASSERT_EQ(S_OK, m_services.Stop());

    HostServices restarted;
    options.configFileMayBeMissing = false;
    restarted.Start(options);
    EXPECT_EQ(2, Read(restarted.ConfigServer(), "\\Configuration\\Plans").GetRequiredAttribute<int32_t>("Count"));
}

TEST_F(HostServicesTest, BadFileFailsStartNamingItAndLeavesNothingRegistered)
{
    const std::string broken = "<nr>\n<node q:name=\"Broken\">\n</nr>\n";
    WriteFile(broken);
    HostServicesOptions options;
    options.configFile = m_file;
    const Thrown thrown = ThrownBy([&] { m_services.Start(options); });
    EXPECT_EQ(kHrInvalidData, thrown.code);
    EXPECT_NE(std::string::npos, thrown.text.find(m_file)) << thrown.text;
    EXPECT_NE(std::string::npos, thrown.text.find("line 3")) << thrown.text;
    EXPECT_FALSE(m_services.IsStarted());
    EXPECT_FALSE(Resolve<IConfigStorage>(kAppConfigStorageName));
    EXPECT_FALSE(Resolve<IServiceClient>(kServiceClientName));
    std::ifstream in(m_file, std::ios::binary);
    EXPECT_EQ(broken, std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()));
}

TEST_F(HostServicesTest, TakenNameFailsStartAndReleasesWhatWasRegistered)
{
    auto squatter = CreateComponent<CServiceClient>();
    ASSERT_EQ(S_OK, SkRegisterNamedInstance(kRequestContextMgrName, squatter.Get()));
    EXPECT_EQ(HResultFromWin32(183), ThrownBy([&] { m_services.Start(HostServicesOptions{}); }).code);
    EXPECT_FALSE(Resolve<IConfigStorage>(kAppConfigStorageName));
    EXPECT_FALSE(Resolve<IServiceClient>(kServiceClientName));
    SkUnregisterNamedInstance(kRequestContextMgrName);
}

}  // namespace
}  // namespace cvn::host::test
