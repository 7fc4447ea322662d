// The host services started together: reachable by their instance names, a
// bad configuration file leaves nothing registered, and Stop saves the store.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "corvane/NamedInstances.h"
#include "services/HostServices.h"
#include "host/services/HostTestSupport.h"

namespace corvane::host::test {
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
    void SetUp() override
    {
        m_file = (std::filesystem::temp_directory_path() /
                  ("corvane-host-services-" + std::to_string(::getpid()) + ".xml"))
                     .string();
        std::filesystem::remove(m_file);
    }
    void TearDown() override
    {
        m_services.Stop();
        std::filesystem::remove(m_file);
    }
    void WriteFile(const std::string& text) { std::ofstream(m_file, std::ios::binary) << text; }

    std::string m_file;
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
    WriteFile("<nr>\n<node q:name=\"Broken\">\n</nr>\n");
    const std::string before = "<nr>\n<node q:name=\"Broken\">\n</nr>\n";
    HostServicesOptions options;
    options.configFile = m_file;
    try {
        m_services.Start(options);
        FAIL() << "a broken configuration file started the services";
    } catch (const HRX& error) {
        EXPECT_NE(std::string::npos, ErrorText(error).find(m_file));
        EXPECT_NE(std::string::npos, ErrorText(error).find("line 3"));
    }
    EXPECT_FALSE(m_services.IsStarted());
    EXPECT_FALSE(Resolve<IConfigStorage>(kAppConfigStorageName));
    EXPECT_FALSE(Resolve<IServiceClient>(kServiceClientName));
    std::ifstream in(m_file, std::ios::binary);
    EXPECT_EQ(before, std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()));
}

TEST_F(HostServicesTest, TakenNameFailsStartAndReleasesWhatWasRegistered)
{
    auto squatter = CreateComponent<CServiceClient>();
    ASSERT_EQ(S_OK, SkRegisterNamedInstance(kRequestContextMgrName, squatter.Get()));
    HostServicesOptions options;
    try {
        m_services.Start(options);
        ADD_FAILURE() << "started although a name was taken";
    } catch (const HRX& error) {
        EXPECT_EQ(HResultFromWin32(183), error.Code());
    }
    EXPECT_FALSE(Resolve<IConfigStorage>(kAppConfigStorageName));
    EXPECT_FALSE(Resolve<IServiceClient>(kServiceClientName));
    SkUnregisterNamedInstance(kRequestContextMgrName);
}

}  // namespace
}  // namespace corvane::host::test
