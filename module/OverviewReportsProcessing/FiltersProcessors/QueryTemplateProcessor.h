// QueryTemplateProcessor: names the query template the queries processor runs the filter with.
// Thread safety: read-only after construction; serves any number of requests at once.
#pragma once

#include <string>

#include "module/OverviewReportsProcessing/FiltersProcessors/IFiltersProcessor.h"

namespace OverviewReportsProcessing {

class QueryTemplateProcessor : public IFiltersProcessor {
public:
    /// Reads "QueryTemplateName"; HRX 0x80070490 (logged) when the node is null or lacks it.
    explicit QueryTemplateProcessor(const cvn::QxNodePtr& configuration);

    /// Sets "Query_Template_Name", overwriting any value; never fails on a valid node.
    void ProcessFilters(const cvn::QxNodePtr& filters) override;

private:
    std::string m_templateName;
};

}  // namespace OverviewReportsProcessing
