// The metrics configuration: reading it, the group queries with their failures,
// and the process-wide one read once from the application configuration store.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "corvane/ServiceInterfaces.h"
#include "tests/support/OverviewTestSupport.h"

namespace cvn::test {
namespace {

using OverviewReportsProcessing::ColumnsMask;
using OverviewReportsProcessing::GroupInfo;
using OverviewReportsProcessing::MaskHelper;
using OverviewReportsProcessing::ResetMaskHelperForTests;
using OverviewReportsProcessing::TableColumnNames;

ColumnsMask Mask(uint32_t value) { return ColumnsMask::FromValue(value); }

TEST(ColumnMaskTest, ColumnsMapToTheirBitsAndEverythingElseToTheUnknownBit)
{
    using namespace OverviewReportsProcessing;
    EXPECT_EQ(ColumnHelper::GetColumnMask("ManagedObjectUId").Value(), 0x1u);
    EXPECT_EQ(ColumnHelper::GetColumnMask("What_Action").Value(), 0x20u);
    EXPECT_EQ(ColumnHelper::GetColumnMask("What").Value(), 0x40u);
    EXPECT_EQ(ColumnHelper::GetColumnMask("DataSource").Value(), 0x800u);
    EXPECT_EQ(ColumnHelper::GetColumnMask("who").Value(), 0x800u);
    std::string order;
    ColumnHelper::ForEachColumn([&](std::string_view name, ColumnsMask bit) {
        order += std::string(name) + "=" + std::to_string(bit.Value()) + " ";
    });
    EXPECT_EQ(order, "ManagedObjectUId=1 ProductId=2 Who=4 Where=8 ObjectType=16 What_Action=32 What=64 ");

    // Has with and without the all flag.
    EXPECT_TRUE(Mask(0x4C).Has(Mask(0x48)));
    EXPECT_FALSE(Mask(0x4C).Has(Mask(0x41)));
    EXPECT_TRUE(Mask(0x4C).Has(Mask(0x41), false));
    EXPECT_FALSE(Mask(0x4C).Has(Mask(0x3), false));
    EXPECT_TRUE(Mask(0x4C).Has(Mask(0)));
    EXPECT_TRUE(Mask(0x80000000) < Mask(0x1));  // signed order
}

class MaskHelperQueries : public testing::Test {
protected:
    MaskHelper m_helper{Tree(kMetricsConfiguration)};
};

TEST_F(MaskHelperQueries, FullMaskIsTheExactGroupOrTheSmallestContainingOneAndColumnsFollowTheBits)
{
    const std::pair<uint32_t, uint32_t> found[] = {{0xC, 0xC}, {0x4, 0xC}, {0x48, 0x4C}, {0, 0xC}};
    for (const auto& [mask, full] : found) EXPECT_EQ(m_helper.GetFullMask(Mask(mask)).Value(), full) << mask;
    LogCapture log;
    for (const auto& [mask, valid] : {std::pair{0x44u, true}, {0xCu, true}, {0x2u, false}, {0x804u, false}})
        EXPECT_EQ(m_helper.CheckMaskValid(Mask(mask)), valid) << mask;
    EXPECT_EQ(log.Count("failed"), 0u) << "a validity check logs no failure";

    // Not found: logged with the unsigned mask.
    EXPECT_EQ(CodeOf([&] { m_helper.GetFullMask(Mask(0x1)); }), kHrNotFound);
    EXPECT_EQ(log.Count("OverviewReportsProcessing::MaskHelper::GetFullMask failed: Full mask not found: 1"), 1u);
    EXPECT_EQ(CodeOf([&] { m_helper.GetFullMask(Mask(0x804)); }), kHrNotFound);
    EXPECT_EQ(log.Count("Full mask not found: 2052"), 1u);

    // Group columns follow the column bits, not the list order.
    EXPECT_EQ(m_helper.GetTableColumnName("Who", Mask(0x4C)), "G1");
    EXPECT_EQ(m_helper.GetTableColumnName("Where", Mask(0x4C)), "G2");
    EXPECT_EQ(m_helper.GetTableColumnName("What", Mask(0x4C)), "G3");
    EXPECT_EQ(m_helper.GetTableColumnName("What", Mask(0x40)), "G3");  // through the containing group
    EXPECT_EQ(CodeOf([&] { m_helper.GetTableColumnName("What", Mask(0xC)); }), E_INVALIDARG);
    EXPECT_EQ(log.Count("OverviewReportsProcessing::MaskHelper::GetTableColumnName failed: "
                        "Invalid column name and mask: What 12"),
              1u);
}

TEST_F(MaskHelperQueries, ForCountersGroupTakesOnlyTheExactMaskPresetsAreTheStoredNodes)
{
    std::vector<std::pair<std::string, std::string>> columns, spare;
    std::string countColumn;
    std::set<int64_t> presets;
    m_helper.ForCountersGroup(Mask(0xC), [&](const GroupInfo& group, const TableColumnNames& names) {
        columns = group.ColumnMap;
        spare = group.SpareTableColumns;
        countColumn = names.CountColumnName;
        presets = group.PresetIds;
    });
    using Pairs = std::vector<std::pair<std::string, std::string>>;
    EXPECT_EQ(columns, (Pairs{{"Who", "G1"}, {"Where", "G2"}}));
    EXPECT_EQ(spare, (Pairs{{"", "G3"}}));
    EXPECT_EQ(countColumn, "Cnt");
    EXPECT_TRUE(presets.empty());

    m_helper.ForCountersGroup(Mask(0x4C), [&](const GroupInfo& group, const TableColumnNames&) {
        presets = group.PresetIds;
        EXPECT_EQ(group.PresetNames, std::set<std::string>{"Failed"});
    });
    EXPECT_EQ(presets, std::set<int64_t>{2});

    LogCapture log;
    EXPECT_EQ(CodeOf([&] { m_helper.ForCountersGroup(Mask(0x4), [](const GroupInfo&, const TableColumnNames&) {}); }),
              kHrNotFound);
    EXPECT_EQ(log.Count("OverviewReportsProcessing::MaskHelper::ForCountersGroup failed: Mask not found: 4"), 1u);

    // Presets are the stored nodes.
    const QxNodePtr first = m_helper.GetPresetCondition("Failed");
    const QxNodePtr second = m_helper.GetPresetCondition("Failed");
    EXPECT_EQ(first.GetRequiredAttribute<int64_t>("PresetConditionId"), 2);
    first.SetAttribute("Marker", "seen");
    EXPECT_TRUE(second.HasAttribute("Marker"));  // a second handle, not a copy
    EXPECT_EQ(CodeOf([&] { m_helper.GetPresetCondition("Missing"); }), kHrNotFound);
    EXPECT_EQ(log.Count("OverviewReportsProcessing::MaskHelper::GetPresetCondition failed: "
                        "Invalid preset condition name: Missing"),
              1u);
}

TEST(MaskHelperConfiguration, GroupsWithTheSameColumnsFormOneGroupAndBadOnesFailWithTheirCodes)
{
    const MaskHelper helper(Tree(MetricsConfiguration("G1|G2|G3", R"(
        <node q:name="ConditionPresets"><Condition q:name="P" PresetConditionId:i64="7"/></node>
        <Group GroupAttributes:strs="Where|Who"/>
        <Group GroupAttributes:strs="Who|Where|Unknown" PresetConditionName="P"/>)")));
    helper.ForCountersGroup(Mask(0xC), [](const GroupInfo& group, const TableColumnNames&) {
        EXPECT_EQ(group.ColumnMap.size(), 2u);
        EXPECT_EQ(group.SpareTableColumns.size(), 1u);
        EXPECT_EQ(group.PresetIds, std::set<int64_t>{7});
    });

    LogCapture log;
    const auto codeOf = [](const std::string& text) { return CodeOf([&] { MaskHelper helper(Tree(text)); }); };

    EXPECT_EQ(codeOf(MetricsConfiguration("G1|G2|G3", R"(<node q:name="ConditionPresets">
        <Condition q:name="A" PresetConditionId:i64="5"/><Condition q:name="B" PresetConditionId:i64="5"/>
        </node>)")),
              kHrInvalidData);
    EXPECT_EQ(log.Count("OverviewReportsProcessing::MaskHelper::Configure::<lambda_1>::operator () failed: "
                        "Duplicate preset id: 5"),
              1u);

    EXPECT_EQ(codeOf(MetricsConfiguration("G1|G2|G3", R"(<Group GroupAttributes:strs="Who" PresetConditionName="Nope"/>)")),
              kHrNotFound);
    EXPECT_EQ(log.Count("Invalid preset condition name: Nope"), 1u);

    EXPECT_EQ(codeOf(MetricsConfiguration("G1|G2|G3", R"(<Group GroupAttributes:strs="Who|Where|What|ObjectType"/>)")),
              E_INVALIDARG);
    EXPECT_EQ(log.Count("OverviewReportsProcessing::MaskHelper::AddGroup failed: Invalid group size: "), 1u);

    EXPECT_EQ(codeOf(MetricsConfiguration("G1|G2|G3", R"(<Group/>)")), kHrNotFound);
    EXPECT_EQ(codeOf(MetricsConfiguration("G1|G2|G3", R"(<node q:name="ConditionPresets"><Condition q:name="A"/></node>)")),
              kHrNotFound);
    EXPECT_EQ(codeOf("<OverviewMetricsConfiguration IdColumnName=\"Id\"/>"), kHrNotFound);
    EXPECT_EQ(codeOf("<OverviewMetricsConfiguration GroupColumns:strs=\"G1\" IdColumnName=\"Id\" "
                     "MaskColumnName=\"M\" ConditionIdColumnName=\"C\" CountColumnName=\"N\"/>"),
              kHrNotFound);
}

// Answers ReadNodes for one path with a copy of the node it holds (or nothing).
class MetricsStore : public Implements<IConfigStorage> {
public:
    QxNodePtr stored;
    int reads = 0;
    std::string lastPath;
    int64_t lastDepth = 0;

    HRESULT DeleteNodes(IQxNode*, uint32_t) noexcept override { return E_NOTIMPL; }
    HRESULT Flush(uint32_t) noexcept override { return E_NOTIMPL; }
    HRESULT WriteNodes(IQxNode*, uint32_t, IQxNode* const*, uint64_t) noexcept override { return E_NOTIMPL; }
    HRESULT CountNodes(IQxNode*, uint64_t*) noexcept override { return E_NOTIMPL; }
    HRESULT ReadNodes(IQxNode* filter, uint32_t, IQxNode** nodes, uint64_t capacity, uint64_t* returned) noexcept override
    try {
        ++reads;
        const QxNodePtr request(filter);
        lastPath = request.GetRequiredAttribute<std::string>("NodePath");
        lastDepth = request.GetRequiredAttribute<int64_t>("MaxDepth");
        *returned = 0;
        if (!stored || capacity < 1 || lastPath != MaskHelper::kConfigurationPath) return S_OK;
        nodes[0] = stored.Clone().Detach();
        *returned = 1;
        return S_OK;
    }
    CV_CATCH_RETURN("MetricsStore::ReadNodes")
};

class MaskHelperInstance : public testing::Test {
protected:
    void SetUp() override { ResetMaskHelperForTests(); }
    void TearDown() override { ResetMaskHelperForTests(); }

    ComPtr<CComponentObject<MetricsStore>> m_store = CreateComponent<MetricsStore>();
};

TEST_F(MaskHelperInstance, ConcurrentFirstUsesLoadOnceFromTheApplicationStore)
{
    ScopedNamedInstance named("Base.AppConfigStorage", m_store.Get());
    m_store->stored = Tree(kMetricsConfiguration);
    std::vector<const MaskHelper*> seen(4, nullptr);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < seen.size(); ++i) threads.emplace_back([&seen, i] { seen[i] = &MaskHelper::Instance(); });
    for (std::thread& thread : threads) thread.join();
    for (const MaskHelper* helper : seen) EXPECT_EQ(helper, seen.front());
    EXPECT_EQ(MaskHelper::Instance().GetFullMask(ColumnsMask::FromValue(0x40)).Value(), 0x4Cu);
    EXPECT_EQ(m_store->lastPath, "\\Configuration\\OverviewMetricsConfiguration");
    EXPECT_EQ(m_store->lastDepth, 0x7FFFFFFF);
    EXPECT_EQ(m_store->reads, 1);
}

TEST_F(MaskHelperInstance, FailuresAreRetriedOnTheNextUse)
{
    // No store registered at all.
    EXPECT_EQ(CodeOf([] { MaskHelper::Instance(); }), kHrNotFound);

    ScopedNamedInstance named("Base.AppConfigStorage", m_store.Get());
    EXPECT_EQ(CodeOf([] { MaskHelper::Instance(); }), kHrNotFound);  // nothing stored at the path
    EXPECT_EQ(m_store->reads, 1);

    m_store->stored = Tree(R"(<OverviewMetricsConfiguration GroupColumns:strs="G1"/>)");
    EXPECT_EQ(CodeOf([] { MaskHelper::Instance(); }), kHrNotFound);  // configuration incomplete
    EXPECT_EQ(m_store->reads, 2);

    m_store->stored = Tree(kMetricsConfiguration);
    EXPECT_TRUE(MaskHelper::Instance().CheckMaskValid(ColumnsMask::FromValue(0xC)));
    EXPECT_EQ(m_store->reads, 3);
}

}  // namespace
}  // namespace cvn::test
