// Texts and mapping of the reporting services' result codes.
#include "host/reporting/processor/QueriesProcessorErrors.h"

#include <string>

#include "common/ErrorHandling/ErrorObjects.h"

namespace cvn::reporting {

const std::vector<ReportingMessage>& ReportingMessages()
{
    static const std::vector<ReportingMessage> messages{
        {kHrReportingDisabled, "The reporting database is disabled."},
        {kHrDatabaseUnavailable, "The reporting database is unavailable."},
        {kHrDatabaseBusy, "The reporting database is busy."},
        {kHrQueryTimeLimit, "The query exceeded its time limit."},
        {kHrQueryRowLimit, "The query result exceeded the row limit."},
    };
    return messages;
}

HRX MakeReportingError(HRESULT code, std::string_view detail)
{
    std::string description;
    for (const ReportingMessage& message : ReportingMessages()) {
        if (message.code != code) continue;
        description = message.text;
        if (!description.empty() && description.back() == '.') description.pop_back();
        if (!detail.empty()) description += ": ";
        break;
    }
    description += detail;
    try {
        ThrowHrWithDescription(code, description);
    } catch (const HRX& error) {
        return error;
    }
}

void ThrowReportingError(HRESULT code, std::string_view detail)
{
    throw MakeReportingError(code, detail);
}

HRESULT CodeOfStorageError(StorageErrorKind kind) noexcept
{
    switch (kind) {
        case StorageErrorKind::Unavailable:
            return kHrDatabaseUnavailable;
        case StorageErrorKind::Busy:
            return kHrDatabaseBusy;
        case StorageErrorKind::Interrupted:
            return E_ABORT;
        case StorageErrorKind::TimedOut:
            return kHrQueryTimeLimit;
        case StorageErrorKind::Invalid:
            return kHrInvalidData;
        case StorageErrorKind::Other:
            break;
    }
    return E_FAIL;
}

HRX MakeStorageHrx(const StorageError& error)
{
    return MakeReportingError(CodeOfStorageError(error.Kind()), error.what());
}

}  // namespace cvn::reporting
