// One request document through the gate, and for a new retrieve request the
// polls with its cookie until it is complete (status 1) or stopped (status 2).
// Thread safety: one runner per thread; the host may serve several at once.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "host/main/HostRuntime.h"

namespace cvn::hostmain {

struct RetrieveOutcome {
    QxNodePtr last;                              ///< the last answer
    int answers = 0;
    bool failed = false;                         ///< an answer, or one sub-response, reported a failure
    bool interrupted = false;                    ///< SIGINT/SIGTERM: the poll was cancelled or the cookie freed
    bool timedOut = false;                       ///< no complete answer in time: the cookie was freed
    std::string failure;                         ///< when failed, why: for the user
    std::map<std::string, double> deliveredAt;   ///< sub-request name: seconds until its result or failure
};

class RequestRunner {
public:
    using AnswerCallback = std::function<void(const QxNodePtr& answer, double seconds)>;
    /// Called after each answer while sub-requests are outstanding: (delivered, total, seconds).
    using ProgressCallback = std::function<void(size_t delivered, size_t total, double seconds)>;

    RequestRunner(HostRuntime& host, std::chrono::milliseconds timeout) : m_host(host), m_timeout(timeout) {}

    /// Sends the request; a new retrieve request is polled until status 1 or 2, the timeout, or a stop
    /// signal. Throws HostError when the gate gives no answer at all, and (exit code 2, nothing sent)
    /// for a "PartialResult" that is not a boolean.
    RetrieveOutcome Run(const QxNodePtr& request, const AnswerCallback& onAnswer, const ProgressCallback& progress = {});

private:
    void FreeCookie(const QxNodePtr& request, const GUID& token);

    HostRuntime& m_host;
    std::chrono::milliseconds m_timeout;
};

/// True for "RetrieveCountersRequest" and "RetrieveCountersDataRequest" without a "RetrieveCookie".
bool IsNewRetrieveRequest(const QxNodePtr& request);
/// "ResultCode" of the node, 0 when absent.
int32_t ResultCodeOf(const QxNodePtr& node);
/// "RetrieveStatus" of the node, -1 when absent.
int32_t RetrieveStatusOf(const QxNodePtr& node);
/// The request's "PartialResult", nullopt when absent; HostError (exit code 2) naming it when it is not
/// a boolean.
std::optional<bool> PartialResultOf(const QxNodePtr& request);
/// Why a final answer is a failure: its own error, else the failed sub-responses' (the first three).
std::string FailureOf(const QxNodePtr& answer);

}  // namespace cvn::hostmain
