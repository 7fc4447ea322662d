// Attribute copying for the gate's handlers.
#include "module/OverviewReportsProcessing/Corvane/RequestProcessingUtils.h"

#include <string>
#include <vector>

#include "common/ErrorHandling/HRX.h"

namespace Corvane {

using namespace cvn;

void CopyAttributes(const QxNodePtr& source, const QxNodePtr& target)
{
    if (!source) return;
    for (const std::string& name : source.GetAttributeNames()) {
        const std::u16string wideName = ToUtf16(name);
        uint32_t size = 0;
        uint32_t stored = 0;
        HRESULT hr = QxnGetAttribute(source.Get(), wideName.c_str(), nullptr, nullptr, &size, &stored);
        std::vector<unsigned char> value(size);
        if (hr == kHrInsufficientBuffer && size > 0) {
            hr = QxnGetAttribute(source.Get(), wideName.c_str(), nullptr, value.data(), &size, &stored);
        }
        CheckHr(hr);
        target.SetAttributeRaw(name, static_cast<uint16_t>(stored), value.empty() ? nullptr : value.data(), size);
    }
}

}  // namespace Corvane
