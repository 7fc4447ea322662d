// QueryTemplateProcessor: the query template name.
#include "module/OverviewReportsProcessing/FiltersProcessors/QueryTemplateProcessor.h"

#include "common/ErrorHandling/HRX.h"
#include "common/Logging/Log.h"

namespace OverviewReportsProcessing {

using cvn::QxNodePtr;

QueryTemplateProcessor::QueryTemplateProcessor(const QxNodePtr& configuration)
{
    if (!configuration || !configuration.GetAttribute("QueryTemplateName", m_templateName))
        CV_FAIL_LOGGED("OverviewReportsProcessing::QueryTemplateProcessor::QueryTemplateProcessor",
                       cvn::kHrNotFound, "QueryTemplateName is missing from the configuration");
}

void QueryTemplateProcessor::ProcessFilters(const QxNodePtr& filters)
{
    CV_TRACE_METHOD(Dbg);
    filters.SetAttribute("Query_Template_Name", m_templateName);
}

}  // namespace OverviewReportsProcessing
