// Error texts for the user.
#include "host/main/HostError.h"

#include <exception>

#include "common/ErrorHandling/HRX.h"
#include "host/reporting/storage/Storage.h"

namespace cvn::hostmain {

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
