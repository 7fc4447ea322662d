// QueryTemplateProcessor: the query template name.
#include "OverviewReportsProcessing/Corvane/QueryTemplateProcessor.h"

#include "Logging/Log.h"
#include "OverviewReportsProcessing/Common/LoggedFailure.h"

namespace OverviewReportsProcessing {

using corvane::QxNodePtr;

QueryTemplateProcessor::QueryTemplateProcessor(const QxNodePtr& configuration)
{
    if (!configuration || !configuration.GetAttribute("QueryTemplateName", m_templateName))
        CV_FAIL_LOGGED("OverviewReportsProcessing::QueryTemplateProcessor::QueryTemplateProcessor",
                       corvane::kHrNotFound, "QueryTemplateName is missing from the configuration");
}

void QueryTemplateProcessor::ProcessFilters(const QxNodePtr& filters)
{
    CV_TRACE(Dbg, "OverviewReportsProcessing::QueryTemplateProcessor::ProcessFilters");
    filters.SetAttribute("Query_Template_Name", m_templateName);
}

}  // namespace OverviewReportsProcessing
