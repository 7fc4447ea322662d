// Node lifetime: a tree lives while any handle into it is open, parents own
// their children, and handles of one tree may be opened and closed by several
// reading threads at once. Leaks and use after free show under ASan; races under TSan.
#include <atomic>
#include <thread>

#include "tests/support/NodestoreTestSupport.h"

namespace nodestore_test {
namespace {

constexpr std::string_view kTree = R"(
<nr>
  <Root q:name="root">
    <Section q:name="s1" Count:i64="1"><Leaf q:name="l1" Who="alice"/></Section>
    <Section q:name="s2" Count:i64="2"><Leaf q:name="l2" Who="bob"/></Section>
  </Root>
</nr>)";

TEST(Lifetime, AnyHandleKeepsTheWholeTreeAlive)
{
    Handle root = Parse(kTree);
    Handle leaf = Child(Child(root.get(), 1).get(), 0);
    root.reset();  // the leaf's handle still holds the tree

    Handle section = Parent(leaf.get());
    Handle top = Parent(section.get());
    EXPECT_EQ(Name(top.get()), u"root");
    EXPECT_EQ(Name(leaf.get(), QXN_NAME_PATH), u"\\root\\s2\\l2");

    // Duplicates are counted one by one.
    Handle again = Duplicate(leaf.get());
    EXPECT_EQ(again.get(), leaf.get());
    leaf.reset();
    section.reset();
    top.reset();
    EXPECT_EQ(AttributeText(again.get(), u"Who"), u"bob");
}

TEST(Lifetime, RemovedOrMovedChildBecomesATreeOfItsOwnAndTheTreeItLeftIsFreed)
{
    Handle root = Parse(kTree);
    Handle section = Child(root.get(), 0);
    Handle leaf = Child(section.get(), 0);
    ASSERT_EQ(QxnRemoveChild(root.get(), section.get()), S_OK);
    EXPECT_EQ(ChildCount(root.get()), 1u);
    EXPECT_FALSE(Parent(section.get()));
    EXPECT_EQ(Name(leaf.get(), QXN_NAME_PATH), u"\\s1\\l1");

    // Closing the old root frees it alone; the detached subtree lives on through its handles.
    root.reset();
    section.reset();
    EXPECT_EQ(Name(Parent(leaf.get()).get()), u"s1");

    // A removed child without handles is freed at once (a leak would show under ASan).
    Handle other = Parse(kTree);
    IQxNode* raw = Child(other.get(), 1).release();
    ASSERT_EQ(QxnRemoveChild(other.get(), raw), S_OK);
    EXPECT_EQ(QxnCloseNodeHandle(raw), S_OK);

    // Moving the last held subtree frees the tree it left.
    Handle target = Create(u"target");
    leaf.reset();
    {
        Handle source = Parse(kTree);
        leaf = Child(Child(source.get(), 0).get(), 0);
    }                                                        // the source tree lives through the leaf alone
    ASSERT_EQ(QxnAddChild(target.get(), leaf.get()), S_OK);  // now it lives through nothing: freed
    EXPECT_EQ(Name(leaf.get(), QXN_NAME_PATH), u"\\target\\l1");
    target.reset();
    EXPECT_EQ(Name(Parent(leaf.get()).get()), u"target");

    // A node placed at a path holds its new ancestors.
    Handle placed = Create();
    ASSERT_EQ(QxnSetNodeName(placed.get(), QXN_NAME_PATH, u"\\A\\B\\C"), S_OK);
    Handle b = Parent(placed.get());
    placed.reset();
    EXPECT_EQ(Name(Child(b.get(), 0).get(), QXN_NAME_PATH), u"\\A\\B\\C");
}

// A parsed tree's nodes share one block of memory: changing, moving and freeing them one by one
// must behave as for nodes made one at a time (ASan sees a block freed too early or never).
TEST(Lifetime, ParsedNodesChangeMoveAndGoOneByOne)
{
    Handle root = Parse(kTree);
    Handle s1 = Child(root.get(), 0);
    Handle l1 = Child(s1.get(), 0);
    ASSERT_EQ(SetString(l1.get(), u"Who", u"a longer value than the parsed one"), S_OK);
    ASSERT_EQ(SetString(l1.get(), u"New", u"x"), S_OK);
    ASSERT_EQ(QxnDeleteAttribute(s1.get(), u"Count"), S_OK);
    ASSERT_EQ(QxnSetNodeName(s1.get(), QXN_NAME_OWN, u"renamed"), S_OK);
    for (int i = 0; i < 5; ++i) ASSERT_EQ(QxnAddChild(s1.get(), Create(u"added").get()), S_OK);
    ASSERT_EQ(QxnRemoveChild(s1.get(), Child(s1.get(), 2).get()), S_OK);
    Handle target = Create(u"target");
    ASSERT_EQ(QxnAddChild(target.get(), Child(root.get(), 1).get()), S_OK);  // s2 moves out
    root.reset();
    s1.reset();
    EXPECT_EQ(Serialize(l1.get(), QXN_DEPTH_ALL, QXN_SERIALIZE_UTF8),
              R"(<nr><Leaf q:name="l1" Who="a longer value than the parsed one" New="x"/></nr>)");
    EXPECT_EQ(Serialize(Parent(l1.get()).get(), 0, QXN_SERIALIZE_UTF8), R"(<nr><Section q:name="renamed"/></nr>)");
    EXPECT_EQ(ChildCount(Parent(l1.get()).get()), 5u);
    l1.reset();  // the rest of the parsed tree goes; s2 still holds the block
    EXPECT_EQ(Serialize(target.get(), QXN_DEPTH_ALL, QXN_SERIALIZE_UTF8),
              R"(<nr><node q:name="target"><Section q:name="s2" Count:i64="2"><Leaf q:name="l2" Who="bob"/></Section></node></nr>)");

    // Two parts of one parse, freed on two threads at once.
    Handle again = Parse(kTree);
    IQxNode* parts[2] = {Child(again.get(), 0).release(), Child(again.get(), 1).release()};
    for (IQxNode* part : parts) ASSERT_EQ(QxnRemoveChild(again.get(), part), S_OK);
    again.reset();
    std::thread first([part = parts[0]] { QxnCloseNodeHandle(part); });
    std::thread second([part = parts[1]] { QxnCloseNodeHandle(part); });
    first.join();
    second.join();
}

TEST(Lifetime, ReadersShareOneTreeAcrossThreads)
{
    Handle root = Parse(kTree);
    const std::string expected = Serialize(root.get());
    constexpr int kThreads = 4;
    constexpr int kRounds = 300;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, mine = Duplicate(root.get()).release()] {
            for (int round = 0; round < kRounds; ++round) {
                IQxNode* section = nullptr;
                IQxNode* leaf = nullptr;
                IQxNode* clone = nullptr;
                if (QxnGetChildByIndex(mine, round % 2, &section) != S_OK ||
                    QxnGetChildByIndex(section, 0, &leaf) != S_OK ||
                    QxnCloneNode(mine, QXN_DEPTH_ALL, 0, &clone) != S_OK)
                    ++failures;
                if (AttributeText(leaf, u"Who") != (round % 2 ? u"bob" : u"alice")) ++failures;
                if (round % 50 == 0 && Serialize(clone) != expected) ++failures;
                QxnCloseNodeHandle(clone);
                QxnCloseNodeHandle(section);
                QxnCloseNodeHandle(leaf);
            }
            QxnCloseNodeHandle(mine);  // the last thread to close frees the tree
        });
    }
    root.reset();
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
}

}  // namespace
}  // namespace nodestore_test
