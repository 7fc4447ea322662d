// The configuration store: reads and writes by path, deletion, counting, the
// backing file and its errors.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "services/ConfigServer.h"
#include "host/services/HostTestSupport.h"

namespace corvane::host::test {
namespace {

constexpr const char* kStatus = R"(<nr><node Count:i32="3" Phase="ready"><Item q:name="A" Value:i64="7"/></node></nr>)";

class ConfigStoreTest : public ::testing::Test {
protected:
    ComPtr<CComponentObject<CConfigServer>> m_store = CreateComponent<CConfigServer>();
};

TEST_F(ConfigStoreTest, NodeWrittenAtItsPathIsReadBackWithItsSubtree)
{
    ASSERT_EQ(S_OK, Write(m_store.Get(), AtPath("\\Statuses\\OverviewMetricsStatus", kStatus)));

    const QxNodePtr read = Read(m_store.Get(), "\\Statuses\\OverviewMetricsStatus");
    ASSERT_TRUE(read);
    EXPECT_EQ("OverviewMetricsStatus", read.GetName());
    EXPECT_EQ(3, read.GetRequiredAttribute<int32_t>("Count"));
    EXPECT_EQ(7, read.GetChild("A").GetRequiredAttribute<int64_t>("Value"));
    EXPECT_TRUE(Read(m_store.Get(), "\\Statuses"));
}

TEST_F(ConfigStoreTest, AbsentPathReadsAsNothing)
{
    EXPECT_FALSE(Read(m_store.Get(), "\\Nowhere\\Node"));
    uint64_t count = 5;
    const QxNodePtr filter = MakePathFilterNode("\\Nowhere");
    EXPECT_EQ(S_OK, m_store->CountNodes(filter.Get(), &count));
    EXPECT_EQ(0u, count);
}

TEST_F(ConfigStoreTest, ReadGivesACopyThatDoesNotChangeTheStore)
{
    Write(m_store.Get(), AtPath("\\S\\N", kStatus));
    Read(m_store.Get(), "\\S\\N").SetAttribute("Count", int32_t{99});
    EXPECT_EQ(3, Read(m_store.Get(), "\\S\\N").GetRequiredAttribute<int32_t>("Count"));
}

TEST_F(ConfigStoreTest, WriteReplacesTheWholeSubtreeAndKeepsSiblingOrder)
{
    Write(m_store.Get(), AtPath("\\Root\\First", "<nr><node Old=\"1\"><Gone q:name=\"G\"/></node></nr>"));
    Write(m_store.Get(), AtPath("\\Root\\Second", "<nr><node/></nr>"));
    Write(m_store.Get(), AtPath("\\Root\\Third", "<nr><node/></nr>"));

    Write(m_store.Get(), AtPath("\\Root\\First", "<nr><node New=\"2\"/></nr>"));

    const QxNodePtr first = Read(m_store.Get(), "\\Root\\First");
    EXPECT_FALSE(first.HasAttribute("Old"));
    EXPECT_EQ("2", first.GetAttributeOr("New", ""));
    EXPECT_EQ(0u, first.GetChildCount());
    const std::vector<QxNodePtr> children = Read(m_store.Get(), "\\Root").GetChildren();
    ASSERT_EQ(3u, children.size());
    EXPECT_EQ("First", children[0].GetName());
    EXPECT_EQ("Second", children[1].GetName());
    EXPECT_EQ("Third", children[2].GetName());
}

TEST_F(ConfigStoreTest, MaxDepthLimitsTheCopy)
{
    Write(m_store.Get(), AtPath("\\S\\N", kStatus));
    const QxNodePtr filter = MakePathFilterNode("\\S", 1);
    IQxNode* nodes[1] = {};
    uint64_t returned = 0;
    ASSERT_EQ(S_OK, m_store->ReadNodes(filter.Get(), 0, nodes, 1, &returned));
    const QxNodePtr read(nodes[0], QxNodePtr::Attach{});
    EXPECT_EQ(0u, read.GetChild("N").GetChildCount());
}

TEST_F(ConfigStoreTest, IsParentReadsTheChildrenAndAsksForRoomWhenShort)
{
    Write(m_store.Get(), AtPath("\\Plans\\P1", "<nr><node/></nr>"));
    Write(m_store.Get(), AtPath("\\Plans\\P2", "<nr><node/></nr>"));
    const QxNodePtr filter = MakePathFilterNode("\\Plans", QXN_DEPTH_ALL, true);

    uint64_t count = 0;
    ASSERT_EQ(S_OK, m_store->CountNodes(filter.Get(), &count));
    EXPECT_EQ(2u, count);
    IQxNode* nodes[2] = {};
    uint64_t returned = 0;
    EXPECT_EQ(kHrInsufficientBuffer, m_store->ReadNodes(filter.Get(), 0, nodes, 1, &returned));
    EXPECT_EQ(2u, returned);
    EXPECT_EQ(nullptr, nodes[0]);
    ASSERT_EQ(S_OK, m_store->ReadNodes(filter.Get(), 0, nodes, 2, &returned));
    const QxNodePtr p1(nodes[0], QxNodePtr::Attach{}), p2(nodes[1], QxNodePtr::Attach{});
    EXPECT_EQ("P1", p1.GetName());
    EXPECT_EQ("P2", p2.GetName());
}

TEST_F(ConfigStoreTest, DeleteRemovesTheSubtreeAndRefusesAnAbsentPath)
{
    Write(m_store.Get(), AtPath("\\S\\N", kStatus));
    const QxNodePtr filter = MakePathFilterNode("\\S\\N");
    EXPECT_EQ(S_OK, m_store->DeleteNodes(filter.Get(), 0));
    EXPECT_FALSE(Read(m_store.Get(), "\\S\\N"));
    EXPECT_TRUE(Read(m_store.Get(), "\\S"));
    EXPECT_EQ(kHrNotFound, m_store->DeleteNodes(filter.Get(), 0));
}

TEST_F(ConfigStoreTest, DeleteWithIsParentEmptiesTheNodeAndKeepsIt)
{
    Write(m_store.Get(), AtPath("\\Plans\\P1", "<nr><node/></nr>"));
    Write(m_store.Get(), AtPath("\\Plans\\P2", "<nr><node/></nr>"));
    EXPECT_EQ(S_OK, m_store->DeleteNodes(MakePathFilterNode("\\Plans", QXN_DEPTH_ALL, true).Get(), 0));
    const QxNodePtr plans = Read(m_store.Get(), "\\Plans");
    ASSERT_TRUE(plans);
    EXPECT_EQ(0u, plans.GetChildCount());
    EXPECT_EQ(E_INVALIDARG, m_store->DeleteNodes(MakePathFilterNode("\\").Get(), 0));
}

TEST_F(ConfigStoreTest, BadRequestsAreRefusedWithoutWritingAnything)
{
    const QxNodePtr good = AtPath("\\S\\Good", kStatus);
    const QxNodePtr pathless = Node(kStatus);
    IQxNode* both[2] = {good.Get(), pathless.Get()};
    EXPECT_EQ(E_INVALIDARG, m_store->WriteNodes(nullptr, 0, both, 2));
    EXPECT_FALSE(Read(m_store.Get(), "\\S\\Good"));

    IQxNode* one[1] = {good.Get()};
    EXPECT_EQ(E_INVALIDARG, m_store->WriteNodes(good.Get(), 0, one, 1));

    uint64_t returned = 0;
    IQxNode* nodes[1] = {};
    const QxNodePtr wrongType = Node(R"(<nr><Other NodePath="\S"/></nr>)");
    EXPECT_EQ(E_INVALIDARG, m_store->ReadNodes(wrongType.Get(), 0, nodes, 1, &returned));
    const QxNodePtr noPath = Node(R"(<nr><FilterByPath IsParent:bool="false"/></nr>)");
    EXPECT_EQ(kHrNotFound, m_store->ReadNodes(noPath.Get(), 0, nodes, 1, &returned));
    const QxNodePtr relative = MakePathFilterNode("S\\Good");
    EXPECT_EQ(E_INVALIDARG, m_store->ReadNodes(relative.Get(), 0, nodes, 1, &returned));
    const QxNodePtr emptyName = MakePathFilterNode("\\S\\\\Good");
    EXPECT_EQ(E_INVALIDARG, m_store->ReadNodes(emptyName.Get(), 0, nodes, 1, &returned));
    const QxNodePtr negativeDepth = MakePathFilterNode("\\S", -1);
    EXPECT_EQ(E_INVALIDARG, m_store->ReadNodes(negativeDepth.Get(), 0, nodes, 1, &returned));
}

class ConfigFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        m_dir = std::filesystem::temp_directory_path() /
                ("corvane-host-" + std::string(info->name()) + "-" + std::to_string(::getpid()));
        std::filesystem::remove_all(m_dir);
        std::filesystem::create_directories(m_dir);
        m_file = (m_dir / "config.xml").string();
    }
    void TearDown() override { std::filesystem::remove_all(m_dir); }

    void WriteFile(const std::string& text)
    {
        std::ofstream out(m_file, std::ios::binary);
        out << text;
    }
    std::string ReadFile()
    {
        std::ifstream in(m_file, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    std::filesystem::path m_dir;
    std::string m_file;
};

TEST_F(ConfigFileTest, TopLevelNodesOfTheFileBecomeTheStoresTopLevel)
{
    WriteFile(R"(<nr>
  <node q:name="Configuration">
    <node q:name="OverviewMetricsConfiguration" Enabled:bool="true"/>
  </node>
  <node q:name="Statuses"/>
</nr>)");
    auto store = CreateComponent<CConfigServer>(m_file);
    store->Load();
    const QxNodePtr metrics = Read(store.Get(), "\\Configuration\\OverviewMetricsConfiguration");
    ASSERT_TRUE(metrics);
    EXPECT_TRUE(metrics.GetAttributeOr("Enabled", false));
    EXPECT_TRUE(Read(store.Get(), "\\Statuses"));
}

TEST_F(ConfigFileTest, FlushWritesWhatALaterLoadReadsBack)
{
    auto store = CreateComponent<CConfigServer>(m_file);
    Write(store.Get(), AtPath("\\Statuses\\OverviewMetricsStatus", kStatus));
    Write(store.Get(), AtPath("\\Configuration\\X", "<nr><node Name=\"a &amp; b\"/></nr>"));
    ASSERT_EQ(S_OK, store->Flush(0));

    auto reloaded = CreateComponent<CConfigServer>(m_file);
    reloaded->Load();
    EXPECT_EQ(TextOf(Read(store.Get(), "\\")), TextOf(Read(reloaded.Get(), "\\")));
    EXPECT_EQ("a & b", Read(reloaded.Get(), "\\Configuration\\X").GetAttributeOr("Name", ""));
    for (const auto& entry : std::filesystem::directory_iterator(m_dir))
        EXPECT_EQ("config.xml", entry.path().filename().string()) << "a temporary file was left behind";
}

TEST_F(ConfigFileTest, EmptyStoreSavesAndLoadsAsEmpty)
{
    auto store = CreateComponent<CConfigServer>(m_file);
    ASSERT_EQ(S_OK, store->Flush(0));
    auto reloaded = CreateComponent<CConfigServer>(m_file);
    reloaded->Load();
    EXPECT_EQ(0u, Read(reloaded.Get(), "\\").GetChildCount());
}

TEST_F(ConfigFileTest, MalformedFileIsNamedWithLineAndColumnAndLoadsNothing)
{
    auto store = CreateComponent<CConfigServer>(m_file);
    Write(store.Get(), AtPath("\\Kept\\Node", kStatus));
    WriteFile("<nr>\n  <node q:name=\"A\">\n    <node q:name=\"B\">\n</nr>\n");
    try {
        store->Load();
        FAIL() << "a malformed file was loaded";
    } catch (const HRX& error) {
        EXPECT_EQ(kHrInvalidData, error.Code());
        const std::string text = ErrorText(error);
        EXPECT_NE(std::string::npos, text.find(m_file)) << text;
        EXPECT_NE(std::string::npos, text.find("line 4")) << text;
        EXPECT_NE(std::string::npos, text.find("column")) << text;
    }
    EXPECT_TRUE(Read(store.Get(), "\\Kept\\Node")) << "the store was changed by a failed load";
}

TEST_F(ConfigFileTest, MissingFileIsAnErrorNamingIt)
{
    auto store = CreateComponent<CConfigServer>((m_dir / "absent.xml").string());
    try {
        store->Load();
        FAIL() << "a missing file was loaded";
    } catch (const HRX& error) {
        EXPECT_EQ(HResultFromWin32(ERROR_FILE_NOT_FOUND), error.Code());
        EXPECT_NE(std::string::npos, ErrorText(error).find("absent.xml"));
    }
}

TEST_F(ConfigFileTest, FailedFlushLeavesNoTemporaryFileAndChangesNothing)
{
    // The target is a directory that rename cannot replace.
    const std::filesystem::path occupied = m_dir / "occupied";
    std::filesystem::create_directories(occupied / "inside");
    auto store = CreateComponent<CConfigServer>(occupied.string());
    Write(store.Get(), AtPath("\\New", "<nr><node/></nr>"));

    EXPECT_TRUE(Failed(store->Flush(0)));
    EXPECT_TRUE(std::filesystem::is_directory(occupied / "inside"));
    size_t entries = 0;
    for (const auto& entry : std::filesystem::directory_iterator(m_dir)) {
        EXPECT_EQ("occupied", entry.path().filename().string()) << "a temporary file was left behind";
        ++entries;
    }
    EXPECT_EQ(1u, entries);
}

TEST_F(ConfigFileTest, UnreachableFileFailsFlushAndStoreWithoutFileHasNothingToFlush)
{
    auto store = CreateComponent<CConfigServer>((m_dir / "no-such-dir" / "config.xml").string());
    Write(store.Get(), AtPath("\\New", "<nr><node/></nr>"));
    EXPECT_TRUE(Failed(store->Flush(0)));

    auto inMemory = CreateComponent<CConfigServer>();
    EXPECT_EQ(S_FALSE, inMemory->Flush(0));
}

}  // namespace
}  // namespace corvane::host::test
