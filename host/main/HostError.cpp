// Error texts for the user.
#include "host/main/HostError.h"

#include <exception>

#include "common/ErrorHandling/HRX.h"
#include "common/Helpers/PrimitiveText.h"
#include "host/reporting/storage/Storage.h"

namespace cvn::hostmain {

std::string HrHex(long code) { return HrToText(static_cast<HRESULT>(code)); }

std::string CurrentErrorText()
{
    try {
        throw;
    } catch (const HRX& error) {
        return ErrorText(error);
    } catch (const std::exception& error) {
        return error.what();
    } catch (...) {
        return "unknown failure";
    }
}

}  // namespace cvn::hostmain
