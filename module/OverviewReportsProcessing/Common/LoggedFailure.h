// Raising a failure the way filter processing reports it: one ERR line
// "<function> failed: <message>", then HRX with that message as its description
// (so the requester sees what was wrong, not only the code).
// Thread safety: touches only the calling thread's log scope and error object.
#pragma once

#include "common/ErrorHandling/ErrorObjects.h"
#include "common/Logging/Log.h"

/// CV_FAIL_LOGGED("FilterHelper::Replace", kHrNotFound, "Node for replacement not found: " << path); never returns.
#define CV_FAIL_LOGGED(function, code, message)                                            \
    do {                                                                                   \
        ::cvn::log::MessageBuilder cvFailText_;                                        \
        try {                                                                              \
            cvFailText_ << message;                                                        \
        } catch (...) {                                                                    \
            cvFailText_.MarkException();                                                   \
        }                                                                                  \
        CV_LOG(Err, function << " failed: " << cvFailText_.Text());                        \
        ::cvn::ThrowHrWithDescription(code, cvFailText_.Text());                       \
    } while (0)
