// ProductIdRemaper: translates data source ids in request filters into the
// product ids the counters are kept under, and product ids in results back into
// data sources, summing the counts of the products of one data source.
// Thread safety: the tables are built by the constructor and only read
// afterwards, so one remapper may serve any number of requests at once.
#pragma once

#include <map>
#include <set>
#include <string>

#include "common/NodeAccess/QxNodePtr.h"
#include "corvane/Platform.h"

namespace OverviewReportsProcessing {

class ProductIdRemaper {
public:
    /// Reads the "DataSource" children of the mapping node (a null node is an empty mapping);
    /// HRX 0x80070490 when one lacks "DataSource" or "ProductIds".
    explicit ProductIdRemaper(const cvn::QxNodePtr& mapping);

    /// Rewrites every "DataSource" leaf to "ProductId"; true when there was one. Every condition is built
    /// before the first change, so an unknown data source (0x80070490) or a comparator other than "=" and
    /// "<>" (0x8007000D), both logged, and filters nested deeper than FilterHelper::kMaxTreeDepth
    /// (0x8007000D) leave the filters unchanged.
    bool ReplaceDataSourceFilters(const cvn::QxNodePtr& filters) const;

    /// Relabels result nodes from "ProductId" to "DataSource" and merges nodes of one data source that
    /// differ only in "Count". An unknown product id is logged and its node left as it is; a node to be
    /// merged without a 64-bit "Count" fails with 0x80070490, a result nested deeper than
    /// FilterHelper::kMaxTreeDepth with 0x8007000D, both before anything changes.
    void ReplaceProductIdByDataSource(const cvn::QxNodePtr& result) const;

private:
    std::map<GUID, std::set<std::string>> m_productsByDataSource;
    std::map<std::string, GUID> m_dataSourceByProduct;
    std::set<GUID> m_sharedDataSources;
};

}  // namespace OverviewReportsProcessing
