// Sending a request and polling its cookie.
#include "host/main/RequestRunner.h"

#include "host/main/HostError.h"
#include "host/main/SignalWatch.h"

namespace cvn::hostmain {

bool IsNewRetrieveRequest(const QxNodePtr& request)
{
    const std::string type = request.GetType();
    return (type == "RetrieveCountersRequest" || type == "RetrieveCountersDataRequest") &&
           !request.GetChild("RetrieveCookie", false);
}

int32_t ResultCodeOf(const QxNodePtr& node) { return node.GetAttributeOr<int32_t>("ResultCode", 0); }

int32_t RetrieveStatusOf(const QxNodePtr& node) { return node.GetAttributeOr<int32_t>("RetrieveStatus", -1); }

RetrieveOutcome RequestRunner::Run(const QxNodePtr& request, const AnswerCallback& onAnswer,
                                   const ProgressCallback& progress)
{
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    const auto elapsed = [&] { return std::chrono::duration<double>(Clock::now() - start).count(); };
    RetrieveOutcome outcome;
    const bool retrieve = IsNewRetrieveRequest(request);
    // A stop signal cancels the poll that is waiting for a query, so it answers within one wait step.
    const SignalWatch::StopAction cancelOnStop([this] { m_host.CancelRequests(); });

    QxNodePtr answer = m_host.Process(request);
    for (;;) {
        ++outcome.answers;
        outcome.last = answer;
        const double seconds = elapsed();
        if (ResultCodeOf(answer) != 0 || RetrieveStatusOf(answer) == 2) outcome.failed = true;
        size_t total = 0;
        for (const QxNodePtr& child : answer.GetChildren()) {
            if (child.GetType() != "RetrieveCountersSubResponse") continue;
            ++total;
            const int32_t status = RetrieveStatusOf(child);
            if (status == 2) outcome.failed = true;
            if (status == 1 || status == 2) outcome.deliveredAt.emplace(child.GetName(), seconds);
        }
        if (onAnswer) onAnswer(answer, seconds);
        if (!retrieve || RetrieveStatusOf(answer) != 0 || ResultCodeOf(answer) != 0) {
            outcome.interrupted = retrieve && SignalWatch::StopRequested() && RetrieveStatusOf(answer) != 1;
            return outcome;
        }

        const QxNodePtr cookie = answer.GetChild("RetrieveCookie", false);
        GUID token{};
        if (!cookie || !cookie.GetAttribute("Token", token)) {
            outcome.failed = true;
            return outcome;
        }
        if (progress) progress(outcome.deliveredAt.size(), total, seconds);
        if (SignalWatch::StopRequested() || Clock::now() - start > m_timeout) {
            (SignalWatch::StopRequested() ? outcome.interrupted : outcome.timedOut) = true;
            FreeCookie(request, token);
            return outcome;
        }
        // The gate's poll waits for data itself, so polls follow each other without a pause.
        const QxNodePtr poll = QxNodePtr::Create(request.GetName(), request.GetType());
        bool partial = true;
        if (request.GetAttribute("PartialResult", partial)) poll.SetAttribute("PartialResult", partial);
        const QxNodePtr pollCookie = QxNodePtr::Create("RetrieveCookie");
        pollCookie.SetAttribute("Token", token);
        poll.AddChild(pollCookie);
        answer = m_host.Process(poll);
    }
}

void RequestRunner::FreeCookie(const QxNodePtr& request, const GUID& token)
{
    const QxNodePtr free = QxNodePtr::Create(request.GetName(), "FreeCookieRequest");
    const QxNodePtr cookie = QxNodePtr::Create("RetrieveCookie");
    cookie.SetAttribute("Token", token);
    free.AddChild(cookie);
    m_host.Process(free);
}

}  // namespace cvn::hostmain
