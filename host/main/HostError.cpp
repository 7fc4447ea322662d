// Error texts for the user.
#include "host/main/HostError.h"

#include <cstdio>
#include <exception>

#include "common/ErrorHandling/HRX.h"
#include "host/reporting/storage/Storage.h"

namespace cvn::hostmain {

std::string HrHex(long code)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(code));
    return text;
}

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
