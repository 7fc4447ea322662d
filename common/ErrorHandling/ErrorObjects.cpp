// Reading and making error objects through the component framework.
#include "common/ErrorHandling/ErrorObjects.h"

#include <vector>

#include "common/ErrorHandling/ErrorRecord.h"
#include "common/ErrorHandling/HRX.h"
#include "common/NodeAccess/QxNodePtr.h"

namespace cvn {

std::string ReadErrorDescription(IErrorInfo* info)
{
    if (!info) return {};
    std::vector<char16_t> buffer(128);
    uint32_t size = static_cast<uint32_t>(buffer.size());
    HRESULT hr = info->GetDescription(buffer.data(), &size);
    while (hr == kHrInsufficientBuffer && size > buffer.size()) {
        buffer.resize(size);
        size = static_cast<uint32_t>(buffer.size());
        hr = info->GetDescription(buffer.data(), &size);
    }
    if (Failed(hr) || size == 0 || size > buffer.size()) return {};
    return ToUtf8(std::u16string_view(buffer.data(), size - 1));
}

ComPtr<IErrorInfo> MakeErrorObject(std::string_view description, const GUID& guid)
{
    ComPtr<ICreateErrorInfo> creator;
    if (Failed(SkCreateErrorInfo(creator.Put())) || !creator) return {};
    const std::u16string text = ToUtf16(description);
    ComPtr<IErrorInfo> info;
    if (Succeeded(creator->SetDescription(text.c_str())) && Succeeded(creator->SetGUID(&guid)) &&
        Succeeded(creator.As(info)))
        return info;
    return {};
}

bool SetThreadError(const ErrorRecord& record) noexcept
try {
    const ComPtr<IErrorInfo> info = MakeErrorObject(FormatErrorText(record), kErrorTextMarkerGuid);
    return info && Succeeded(SkSetErrorInfo(0, info.Get()));
} catch (...) {
    return false;
}

std::string SerializeCurrentError(HRESULT code)
{
    ComPtr<IErrorInfo> info;
    SkGetErrorInfo(0, info.Put());
    return FormatErrorText(BuildErrorRecord(code, info.Get(), nullptr));
}

void ThrowHrWithDescription(HRESULT code, std::string_view description)
{
    if (Succeeded(code)) code = E_FAIL;
    const ComPtr<IErrorInfo> info = MakeErrorObject(description, GUID{});
    throw HRX(code, info.Get(), 1);
}

}  // namespace cvn
