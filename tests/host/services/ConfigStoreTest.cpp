// The configuration store: reads and writes by path, deletion, counting, the
// backing file and its errors.
#include <gtest/gtest.h>

#include <filesystem>

#include "host/services/ConfigServer.h"
#include "tests/support/HostTestSupport.h"

namespace cvn::host::test {
namespace {

constexpr const char* kStatus = R"(<nr><node Count:i32="3" Phase="ready"><Item q:name="A" Value:i64="7"/></node></nr>)";

class ConfigStoreTest : public ::testing::Test {
protected:
    ComPtr<CComponentObject<CConfigServer>> m_store = CreateComponent<CConfigServer>();
};

TEST_F(ConfigStoreTest, NodeWrittenAtItsPathIsReadBackAsACopyToTheAskedDepthAndRewritesReplaceTheSubtree)
{
    ASSERT_EQ(S_OK, Write(m_store.Get(), AtPath("\\Root\\First", kStatus)));
    Write(m_store.Get(), AtPath("\\Root\\Second", "<nr><node/></nr>"));
    const QxNodePtr read = Read(m_store.Get(), "\\Root\\First");
    ASSERT_TRUE(read);
    EXPECT_EQ("First", read.GetName());
    EXPECT_EQ(3, read.GetRequiredAttribute<int32_t>("Count"));
    EXPECT_EQ(7, read.GetChild("A").GetRequiredAttribute<int64_t>("Value"));
    read.SetAttribute("Count", int32_t{99});
    EXPECT_EQ(3, Read(m_store.Get(), "\\Root\\First").GetRequiredAttribute<int32_t>("Count"));
    EXPECT_EQ(0u, Read(m_store.Get(), "\\Root", false, 1).GetChild("First").GetChildCount());
    EXPECT_FALSE(Read(m_store.Get(), "\\Nowhere\\Node"));
    uint64_t count = 5;
    EXPECT_EQ(S_OK, m_store->CountNodes(MakePathFilterNode("\\Nowhere").Get(), &count));
    EXPECT_EQ(0u, count);

    Write(m_store.Get(), AtPath("\\Root\\First", "<nr><node New=\"2\"/></nr>"));
    const QxNodePtr first = Read(m_store.Get(), "\\Root\\First");
    EXPECT_FALSE(first.HasAttribute("Count"));
    EXPECT_EQ("2", first.GetAttributeOr("New", ""));
    EXPECT_EQ(0u, first.GetChildCount());
    EXPECT_EQ("Second", Read(m_store.Get(), "\\Root").GetChild(uint64_t{1}).GetName()) << "sibling order is kept";
}

TEST_F(ConfigStoreTest, IsParentReadsAndDeletesTheChildrenAndAsksForRoomWhenShort)
{
    Write(m_store.Get(), AtPath("\\Plans\\P1", kStatus));
    Write(m_store.Get(), AtPath("\\Plans\\P2", "<nr><node/></nr>"));
    Write(m_store.Get(), AtPath("\\Plans\\P3", "<nr><node/></nr>"));
    const QxNodePtr children = MakePathFilterNode("\\Plans", QXN_DEPTH_ALL, true);
    uint64_t count = 0;
    ASSERT_EQ(S_OK, m_store->CountNodes(children.Get(), &count));
    EXPECT_EQ(3u, count);
    IQxNode* nodes[3] = {};
    uint64_t returned = 0;
    EXPECT_EQ(kHrInsufficientBuffer, m_store->ReadNodes(children.Get(), 0, nodes, 2, &returned));
    EXPECT_EQ(3u, returned);
    EXPECT_EQ(nullptr, nodes[0]);
    ASSERT_EQ(S_OK, m_store->ReadNodes(children.Get(), 0, nodes, 3, &returned));
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ("P" + std::to_string(i + 1), QxNodePtr(nodes[i], QxNodePtr::Attach{}).GetName());

    const QxNodePtr p1 = MakePathFilterNode("\\Plans\\P1");
    EXPECT_EQ(S_OK, m_store->DeleteNodes(p1.Get(), 0));
    EXPECT_FALSE(Read(m_store.Get(), "\\Plans\\P1"));
    EXPECT_TRUE(Read(m_store.Get(), "\\Plans\\P2"));
    EXPECT_EQ(kHrNotFound, m_store->DeleteNodes(p1.Get(), 0));
    EXPECT_EQ(S_OK, m_store->DeleteNodes(children.Get(), 0));
    const QxNodePtr plans = Read(m_store.Get(), "\\Plans");
    ASSERT_TRUE(plans);
    EXPECT_EQ(0u, plans.GetChildCount());
    EXPECT_EQ(E_INVALIDARG, m_store->DeleteNodes(MakePathFilterNode("\\").Get(), 0));
}

TEST_F(ConfigStoreTest, BadRequestsAreRefusedWithoutWritingAnything)
{
    const QxNodePtr good = AtPath("\\S\\Good", kStatus);
    const QxNodePtr pathless = Tree(kStatus);
    IQxNode* both[2] = {good.Get(), pathless.Get()};
    EXPECT_EQ(E_INVALIDARG, m_store->WriteNodes(nullptr, 0, both, 2));
    EXPECT_FALSE(Read(m_store.Get(), "\\S\\Good"));

    IQxNode* one[1] = {good.Get()};
    EXPECT_EQ(E_INVALIDARG, m_store->WriteNodes(good.Get(), 0, one, 1));

    const std::pair<QxNodePtr, HRESULT> filters[] = {
        {Tree(R"(<nr><Other NodePath="\S"/></nr>)"), E_INVALIDARG},
        {Tree(R"(<nr><FilterByPath IsParent:bool="false"/></nr>)"), kHrNotFound},
        {MakePathFilterNode("S\\Good"), E_INVALIDARG},      // relative
        {MakePathFilterNode("\\S\\\\Good"), E_INVALIDARG},  // empty name
        {MakePathFilterNode("\\S", -1), E_INVALIDARG},      // negative depth
    };
    for (const auto& [filter, code] : filters) {
        uint64_t returned = 0;
        IQxNode* nodes[1] = {};
        EXPECT_EQ(code, m_store->ReadNodes(filter.Get(), 0, nodes, 1, &returned)) << TextOf(filter);
    }
}

class ConfigFileTest : public ::testing::Test {
protected:
    void WriteFile(const std::string& text) { m_dir.Write("config.xml", text); }

    TempDir m_dir;
    std::string m_file = m_dir.File("config.xml");
};

TEST_F(ConfigFileTest, TopLevelNodesOfTheFileAreTheStoresAndFlushWritesWhatALaterLoadReadsBack)
{
    WriteFile(R"(<nr>
  <node q:name="Configuration">
    <node q:name="OverviewMetricsConfiguration" Enabled:bool="true"/>
  </node>
  <node q:name="Statuses"/>
</nr>)");
    auto store = CreateComponent<CConfigServer>(m_file);
    store->Load();
    EXPECT_TRUE(Read(store.Get(), "\\Configuration\\OverviewMetricsConfiguration").GetAttributeOr("Enabled", false));
    EXPECT_TRUE(Read(store.Get(), "\\Statuses"));

    Write(store.Get(), AtPath("\\Statuses\\OverviewMetricsStatus", kStatus));
    Write(store.Get(), AtPath("\\Configuration\\X", "<nr><node Name=\"a &amp; b\"/></nr>"));
    ASSERT_EQ(S_OK, store->Flush(0));
    auto reloaded = CreateComponent<CConfigServer>(m_file);
    reloaded->Load();
    EXPECT_EQ(TextOf(Read(store.Get(), "\\")), TextOf(Read(reloaded.Get(), "\\")));
    EXPECT_EQ("a & b", Read(reloaded.Get(), "\\Configuration\\X").GetAttributeOr("Name", ""));
    for (const auto& entry : std::filesystem::directory_iterator(m_dir.Path()))
        EXPECT_EQ("config.xml", entry.path().filename().string()) << "a temporary file was left behind";
}

TEST_F(ConfigFileTest, MalformedOrMissingFileIsAnErrorNamingItAndLoadsNothing)
{
    auto store = CreateComponent<CConfigServer>(m_file);
    Write(store.Get(), AtPath("\\Kept\\Node", kStatus));
    WriteFile("<nr>\n  <node q:name=\"A\">\n    <node q:name=\"B\">\n</nr>\n");
    const Thrown malformed = ThrownBy([&] { store->Load(); });
    EXPECT_EQ(kHrInvalidData, malformed.code);
    EXPECT_NE(std::string::npos, malformed.text.find(m_file)) << malformed.text;
    EXPECT_NE(std::string::npos, malformed.text.find("line 4")) << malformed.text;
    EXPECT_NE(std::string::npos, malformed.text.find("column")) << malformed.text;
    EXPECT_TRUE(Read(store.Get(), "\\Kept\\Node")) << "the store was changed by a failed load";

    const Thrown missing = ThrownBy([&] { CreateComponent<CConfigServer>(m_dir.File("absent.xml"))->Load(); });
    EXPECT_EQ(HResultFromWin32(ERROR_FILE_NOT_FOUND), missing.code);
    EXPECT_NE(std::string::npos, missing.text.find("absent.xml")) << missing.text;
}

TEST_F(ConfigFileTest, FailedFlushLeavesNoTemporaryFileAndStoreWithoutFileHasNothingToFlush)
{
    // A target that rename cannot replace, and one in a folder that does not exist.
    const std::filesystem::path dir = m_dir.Path(), occupied = dir / "occupied";
    std::filesystem::create_directories(occupied / "inside");
    for (const std::filesystem::path& target : {occupied, dir / "no-such-dir" / "config.xml"}) {
        auto store = CreateComponent<CConfigServer>(target.string());
        Write(store.Get(), AtPath("\\New", "<nr><node/></nr>"));
        EXPECT_TRUE(Failed(store->Flush(0))) << target;
    }
    EXPECT_TRUE(std::filesystem::is_directory(occupied / "inside"));
    std::vector<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) left.push_back(entry.path().filename());
    EXPECT_EQ(std::vector<std::string>{"occupied"}, left) << "a temporary file was left behind";
    EXPECT_EQ(S_FALSE, CreateComponent<CConfigServer>()->Flush(0));
}

}  // namespace
}  // namespace cvn::host::test
