// Result attributes of response nodes.
#include "ErrorHandling/ResultNodes.h"

#include <string>

#include "ErrorHandling/ErrorObjects.h"
#include "ErrorHandling/ErrorRecord.h"
#include "NodeAccess/QxNodePtr.h"

namespace corvane {

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

}  // namespace corvane
