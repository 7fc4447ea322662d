// AliasProcessor: renames every leaf's column to the column the query side knows it by
// (directly, or through the table column of the group serving the filter), keeping the
// logical name in "AliasColumn".
// Thread safety: the alias map is only read after construction; serves any number of
// requests at once.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "common/Metrics/ColumnHelper.h"
#include "module/OverviewReportsProcessing/FiltersProcessors/IFiltersProcessor.h"

namespace OverviewReportsProcessing {

class AliasProcessor : public IFiltersProcessor {
public:
    /// Reads the "Alias" children (the first entry of a column wins; other children and a null node give
    /// no entries); HRX 0x80070490 for an entry without "ColumnName" or "ColumnAlias".
    explicit AliasProcessor(const cvn::QxNodePtr& configuration);

    /// Aliases every leaf. HRX 0x80070490 when no group serves the filter, E_INVALIDARG (logged) for a
    /// column with no alias; leaves visited before the failure keep their aliases. 0x8007000D, with the filter
    /// unchanged, for a filter nested deeper than FilterHelper::kMaxTreeDepth.
    void ProcessFilters(const cvn::QxNodePtr& filters) override;

    /// Aliases one leaf in the group of mask full; a node naming no column is skipped. Fails as above.
    void ReplaceAlias(const cvn::QxNodePtr& leaf, ColumnsMask full) const;

private:
    struct Alias {
        int64_t JoinIndex = 0;
        std::string ColumnAlias;
    };
    std::map<std::string, Alias, std::less<>> m_aliases;
};

}  // namespace OverviewReportsProcessing
