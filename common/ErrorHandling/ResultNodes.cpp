// Result attributes of response nodes.
#include "common/ErrorHandling/ResultNodes.h"

#include <string>

#include "common/ErrorHandling/ErrorObjects.h"
#include "common/ErrorHandling/ErrorRecord.h"
#include "common/NodeAccess/QxNodePtr.h"

namespace cvn {

void WriteResultToNode(const QxNodePtr& node, const HRX& result, ResultAttributes names)
{
    node.SetAttribute(names.code, static_cast<int32_t>(result.Code()));
    if (!result.IsFailure()) return;
    ReturnCodeFromHrx(result);
    node.SetAttribute(names.text, SerializeCurrentError(result.Code()));
}

HRX ReadResultFromNode(const QxNodePtr& node, ResultAttributes names)
{
    int32_t code = S_OK;
    node.GetAttribute(names.code, code);
    if (Failed(code)) {
        std::string text;
        if (node.GetAttribute(names.text, text)) SetThreadError(BuildErrorRecord(code, nullptr, &text));
    }
    return HRX(code);
}

}  // namespace cvn
