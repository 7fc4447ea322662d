// Fresh braced GUID text.
#include "module/OverviewReportsProcessing/Common/GuidText.h"

#include "platform/os/Uuid.h"

namespace OverviewReportsProcessing {

std::string NewGuidText()
{
    return GuidToText(cvn::os::NewUuid());
}

}  // namespace OverviewReportsProcessing
