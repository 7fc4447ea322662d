// The process-wide metrics configuration: read once from the application
// configuration store, tried again after a failed read or configuration.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "tests/support/OverviewTestSupport.h"
#include "corvane/ServiceInterfaces.h"

namespace cvn::test {
namespace {

using OverviewReportsProcessing::ColumnsMask;
using OverviewReportsProcessing::MaskHelper;

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
    void SetUp() override { MaskHelper::ResetForTests(); }
    void TearDown() override { MaskHelper::ResetForTests(); }

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
