// AliasProcessor: logical columns to query columns.
#include "module/OverviewReportsProcessing/FiltersProcessors/AliasProcessor.h"

#include "common/ErrorHandling/HRX.h"
#include "common/Logging/Log.h"
#include "module/OverviewReportsProcessing/Common/FiltersHelper.h"
#include "module/OverviewReportsProcessing/Common/OverviewCountersMaskHelper.h"

namespace OverviewReportsProcessing {

using cvn::QxNodePtr;

AliasProcessor::AliasProcessor(const QxNodePtr& configuration)
{
    if (!configuration) return;
    for (const QxNodePtr& child : configuration.GetChildren()) {
        if (child.GetType() != "Alias") continue;
        Alias alias;
        alias.JoinIndex = child.GetAttributeOr<int64_t>("JoinIndex", 0);
        alias.ColumnAlias = child.GetRequiredAttribute<std::string>("ColumnAlias");
        m_aliases.try_emplace(child.GetRequiredAttribute<std::string>("ColumnName"), std::move(alias));
    }
}

void AliasProcessor::ProcessFilters(const QxNodePtr& filters)
{
    CV_TRACE_METHOD(Dbg);
    ColumnsMask full = MaskHelper::Instance().GetFullMask(FilterHelper::MakeTotalFiltersMask(filters));
    full |= EColumnsMasks::ManagedObjectUId;
    FilterHelper::TraverseCondition(filters, [&](const QxNodePtr& leaf) { ReplaceAlias(leaf, full); });
}

void AliasProcessor::ReplaceAlias(const QxNodePtr& leaf, ColumnsMask full) const
{
    CV_TRACE_METHOD(Dbg);
    const auto column = FilterHelper::GetColumnName(leaf);
    if (!column) {
        CV_LOG(Dbg2, "Skip invalid node");
        return;
    }
    leaf.SetAttribute("AliasColumn", *column);
    auto entry = m_aliases.find(*column);
    if (entry == m_aliases.end()) entry = m_aliases.find(MaskHelper::Instance().GetTableColumnName(*column, full));
    if (entry == m_aliases.end())
        CV_FAIL_LOGGED("OverviewReportsProcessing::AliasProcessor::ReplaceAlias", cvn::E_INVALIDARG,
                       "Invalid alias column: " << *column);
    FilterHelper::SetColumnName(leaf, entry->second.ColumnAlias);
    if (entry->second.JoinIndex != 0) leaf.SetAttribute("JoinIndex", entry->second.JoinIndex);
}

}  // namespace OverviewReportsProcessing
