// Names, types, paths and children of node trees, and the codes of the C API.
#include "tests/support/NodestoreTestSupport.h"

namespace nodestore_test {
namespace {

TEST(NodeTree, NamesAndTypesReadThroughTheGrowthProtocol)
{
    Handle node = Create(u"Request", u"RetrieveCountersRequest");
    EXPECT_EQ(Name(node.get()), u"Request");
    EXPECT_EQ(Type(node.get()), u"RetrieveCountersRequest");

    // Sizes are characters with the NUL counted; a short buffer reports the size it needs.
    char16_t small[4];
    uint32_t size = 4;
    EXPECT_EQ(QxnGetNodeName(node.get(), QXN_NAME_OWN, small, &size), kHrInsufficientBuffer);
    EXPECT_EQ(size, 8u);
    size = 0;
    EXPECT_EQ(QxnGetNodeType(node.get(), nullptr, &size), kHrInsufficientBuffer);
    EXPECT_EQ(size, 24u);
    char16_t exact[8];
    size = 8;
    EXPECT_EQ(QxnGetNodeName(node.get(), QXN_NAME_OWN, exact, &size), S_OK);
    EXPECT_EQ(std::u16string(exact), u"Request");

    // A name longer than 127 characters comes whole through the second, larger call.
    const std::u16string longName(300, u'n');
    ASSERT_EQ(QxnSetNodeName(node.get(), QXN_NAME_OWN, longName.c_str()), S_OK);
    EXPECT_EQ(Name(node.get()), longName);

    // Null and empty both mean none; an unset name or type reads as "" (size 1).
    ASSERT_EQ(QxnSetNodeName(node.get(), QXN_NAME_OWN, u""), S_OK);
    ASSERT_EQ(QxnSetNodeType(node.get(), nullptr), S_OK);
    size = 1;
    EXPECT_EQ(QxnGetNodeName(node.get(), QXN_NAME_OWN, exact, &size), S_OK);
    EXPECT_EQ(size, 1u);
    EXPECT_EQ(Type(node.get()), u"");

    EXPECT_EQ(QxnGetNodeName(node.get(), 1, exact, &size), E_INVALIDARG);
    EXPECT_EQ(QxnGetNodeName(nullptr, 0, exact, &size), E_POINTER);
    EXPECT_EQ(QxnGetNodeName(node.get(), 0, exact, nullptr), E_POINTER);
}

TEST(NodeTree, FullPathsNameEveryAncestorAndAPathSetOnARootCreatesThem)
{
    Handle root = Parse(R"(
        <node q:name="Configuration">
          <Section q:name="OverviewMetricsConfiguration"><Leaf q:name="Item"/></Section>
        </node>)");
    Handle section = Child(root.get(), 0);
    Handle leaf = Child(section.get(), 0);
    EXPECT_EQ(Name(root.get(), QXN_NAME_PATH), u"\\Configuration");
    EXPECT_EQ(Name(leaf.get(), QXN_NAME_PATH), u"\\Configuration\\OverviewMetricsConfiguration\\Item");

    // A nameless root is the store's "\": it adds nothing to its children's paths.
    Handle store = Parse(R"(<node><node q:name="Statuses"/></node>)");
    EXPECT_EQ(Name(store.get(), QXN_NAME_PATH), u"\\");
    EXPECT_EQ(Name(Child(store.get(), 0).get(), QXN_NAME_PATH), u"\\Statuses");

    // A path set on a standalone node creates the ancestors.
    Handle status = Parse(R"(<node Reason="x"><Detail/></node>)");
    ASSERT_EQ(QxnSetNodeName(status.get(), QXN_NAME_PATH, u"\\Statuses\\OverviewMetricsStatus"), S_OK);
    EXPECT_EQ(Name(status.get(), QXN_NAME_PATH), u"\\Statuses\\OverviewMetricsStatus");
    EXPECT_EQ(Name(status.get()), u"OverviewMetricsStatus");
    EXPECT_EQ(ChildCount(status.get()), 1u);  // its own subtree and attributes stay
    EXPECT_EQ(AttributeText(status.get(), u"Reason"), u"x");

    Handle statuses = Parent(status.get());
    ASSERT_TRUE(statuses);
    EXPECT_EQ(Name(statuses.get()), u"Statuses");
    EXPECT_EQ(Type(statuses.get()), u"");
    EXPECT_FALSE(Parent(statuses.get()));

    // Only a root can be placed, and only at an absolute path of non-empty names.
    Handle detail = Child(status.get(), 0);
    EXPECT_EQ(QxnSetNodeName(detail.get(), QXN_NAME_PATH, u"\\A"), E_INVALIDARG);
    Handle loose = Create(u"Keep");
    for (const char16_t* bad : {u"", u"A\\B", u"\\A\\\\B", u"\\A\\"})
        EXPECT_EQ(QxnSetNodeName(loose.get(), QXN_NAME_PATH, bad), E_INVALIDARG) << std::u16string(bad).size();
    EXPECT_EQ(Name(loose.get()), u"Keep");
    ASSERT_EQ(QxnSetNodeName(loose.get(), QXN_NAME_PATH, u"\\Top"), S_OK);
    EXPECT_EQ(Name(loose.get(), QXN_NAME_PATH), u"\\Top");
    EXPECT_FALSE(Parent(loose.get()));
}

TEST(NodeTree, ChildrenAreOrderedFoundByNameAndMissingOnesAreNotFound)
{
    Handle root = Parse(R"(<Root><A q:name="x"/><B q:name="y"/><C q:name="x"/></Root>)");
    ASSERT_EQ(ChildCount(root.get()), 3u);
    EXPECT_EQ(Type(Child(root.get(), 2).get()), u"C");

    IQxNode* found = nullptr;
    ASSERT_EQ(QxnGetChildByName(root.get(), u"x", &found), S_OK);
    Handle first(found);
    EXPECT_EQ(Type(first.get()), u"A");  // the first of equal names

    IQxNode* missing = reinterpret_cast<IQxNode*>(1);
    EXPECT_EQ(QxnGetChildByName(root.get(), u"z", &missing), kHrNotFound);
    EXPECT_EQ(missing, nullptr);
    EXPECT_EQ(QxnGetChildByIndex(root.get(), 3, &missing), kHrNotFound);
    EXPECT_EQ(missing, nullptr);

    IQxNode* parent = reinterpret_cast<IQxNode*>(1);
    EXPECT_EQ(QxnGetParent(root.get(), &parent), S_OK);
    EXPECT_EQ(parent, nullptr);
    EXPECT_EQ(Parent(first.get()).get(), root.get());  // handles are the nodes themselves

    Handle stranger = Create();
    EXPECT_EQ(QxnRemoveChild(root.get(), stranger.get()), kHrNotFound);
}

TEST(NodeTree, AddChildAppendsMovesAndRefusesCycles)
{
    Handle left = Parse(R"(<Left><A/><B/></Left>)");
    Handle right = Parse(R"(<Right/>)");
    Handle a = Child(left.get(), 0);

    ASSERT_EQ(QxnAddChild(right.get(), a.get()), S_OK);  // moved, not copied
    EXPECT_EQ(Serialize(left.get(), QXN_DEPTH_ALL, 0x100), "<nr><Left><B/></Left></nr>");
    EXPECT_EQ(Serialize(right.get(), QXN_DEPTH_ALL, 0x100), "<nr><Right><A/></Right></nr>");
    EXPECT_EQ(Parent(a.get()).get(), right.get());

    Handle b = Child(left.get(), 0);
    ASSERT_EQ(QxnAddChild(right.get(), b.get()), S_OK);
    ASSERT_EQ(QxnAddChild(right.get(), a.get()), S_OK);  // a child added again moves to the end
    EXPECT_EQ(Serialize(right.get(), QXN_DEPTH_ALL, 0x100), "<nr><Right><B/><A/></Right></nr>");

    EXPECT_EQ(QxnAddChild(a.get(), a.get()), E_INVALIDARG);
    EXPECT_EQ(QxnAddChild(a.get(), right.get()), E_INVALIDARG);  // right is a's parent
    EXPECT_EQ(QxnAddChild(nullptr, a.get()), E_POINTER);
    EXPECT_EQ(Serialize(right.get(), QXN_DEPTH_ALL, 0x100), "<nr><Right><B/><A/></Right></nr>");
}

TEST(NodeTree, ClonesCopyToTheRequestedDepthAsNewRoots)
{
    Handle root = Parse(
        R"(<Root q:name="r" N:i32="1"><Mid q:name="m"><Leaf Id:guid="{00000001-0002-0003-0405-060708090A0B}"/></Mid></Root>)");
    Handle mid = Child(root.get(), 0);
    IQxNode* raw = nullptr;

    ASSERT_EQ(QxnCloneNode(mid.get(), QXN_DEPTH_ALL, 0, &raw), S_OK);
    Handle deep(raw);
    EXPECT_FALSE(Parent(deep.get()));
    EXPECT_EQ(Serialize(deep.get()), Serialize(mid.get()));

    ASSERT_EQ(QxnCloneNode(root.get(), 0, 0, &raw), S_OK);
    Handle alone(raw);
    EXPECT_EQ(Serialize(alone.get(), QXN_DEPTH_ALL, 0x100), "<nr><Root q:name=\"r\" N:i32=\"1\"/></nr>");

    ASSERT_EQ(QxnCloneNode(root.get(), 1, 0, &raw), S_OK);
    Handle oneLevel(raw);
    EXPECT_EQ(Serialize(oneLevel.get(), QXN_DEPTH_ALL, 0x100),
              "<nr><Root q:name=\"r\" N:i32=\"1\"><Mid q:name=\"m\"/></Root></nr>");

    // The copy is independent of the original.
    ASSERT_EQ(QxnSetNodeName(deep.get(), QXN_NAME_OWN, u"changed"), S_OK);
    EXPECT_EQ(Name(mid.get()), u"m");
    EXPECT_EQ(QxnCloneNode(root.get(), -1, 0, &raw), E_INVALIDARG);
    EXPECT_EQ(QxnCloneNode(root.get(), 0, 1, &raw), E_INVALIDARG);
}

}  // namespace
}  // namespace nodestore_test
