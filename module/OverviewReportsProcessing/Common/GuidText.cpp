// Fresh braced GUID text.
#include "module/OverviewReportsProcessing/Common/GuidText.h"

#include "common/Helpers/PrimitiveText.h"
#include "platform/os/Uuid.h"

namespace OverviewReportsProcessing {

std::string NewGuidText()
{
    return cvn::GuidToText(cvn::os::NewUuid());
}

}  // namespace OverviewReportsProcessing
