// Copying attributes between nodes with their stored types.
#include "common/Helpers/RequestProcessingUtils.h"

#include <vector>

#include "common/ErrorHandling/HRX.h"

namespace cvn {

void CopyAttributes(const QxNodePtr& source, const QxNodePtr& target)
{
    if (!source) return;
    for (const std::string& name : source.GetAttributeNames()) {
        const std::u16string wide = ToUtf16(name);
        uint32_t size = 0;
        uint32_t stored = 0;
        HRESULT hr = QxnGetAttribute(source.Get(), wide.c_str(), nullptr, nullptr, &size, &stored);
        if (hr != kHrInsufficientBuffer) ThrowIfFailed(hr);
        std::vector<uint8_t> bytes(size);
        if (size != 0)
            ThrowIfFailed(QxnGetAttribute(source.Get(), wide.c_str(), nullptr, bytes.data(), &size, &stored));
        target.SetAttributeRaw(name, static_cast<uint16_t>(stored), size ? bytes.data() : nullptr, size);
    }
}

}  // namespace cvn
