// Sending a request and polling its cookie.
#include "host/main/RequestRunner.h"

#include "common/ErrorHandling/HRX.h"
#include "common/Helpers/PrimitiveText.h"
#include "host/main/HostError.h"
#include "host/main/SignalWatch.h"

namespace cvn::hostmain {

namespace {

constexpr size_t kMaxErrorText = 1024;  // of one error in a message: a serialized error may be long
constexpr size_t kMaxFailuresNamed = 3;
constexpr size_t kMaxValueShown = 64;

// At most max bytes of text, cut at a character boundary and marked.
std::string Shortened(std::string text, size_t max)
{
    if (text.size() <= max) return text;
    size_t cut = max;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    return text.substr(0, cut) + "...";
}

std::string ErrorOf(const QxNodePtr& node)
{
    std::string text = node.GetAttributeOr("ErrorSerialized", "");
    if (text.empty()) text = ResultCodeOf(node) != 0 ? HrToText(ResultCodeOf(node)) : "no error given";
    return Shortened(std::move(text), kMaxErrorText);
}

}  // namespace

bool IsNewRetrieveRequest(const QxNodePtr& request)
{
    const std::string type = request.GetType();
    return (type == "RetrieveCountersRequest" || type == "RetrieveCountersDataRequest") &&
           !request.GetChild("RetrieveCookie", false);
}

int32_t ResultCodeOf(const QxNodePtr& node) { return node.GetAttributeOr<int32_t>("ResultCode", 0); }

int32_t RetrieveStatusOf(const QxNodePtr& node) { return node.GetAttributeOr<int32_t>("RetrieveStatus", -1); }

std::optional<bool> PartialResultOf(const QxNodePtr& request)
{
    bool partial = true;
    try {
        if (!request.GetAttribute("PartialResult", partial)) return std::nullopt;
    } catch (const HRX&) {
        // Every value reads as text.
        const std::string value = Shortened(request.GetAttributeOr("PartialResult", ""), kMaxValueShown);
        throw HostError("the request's attribute 'PartialResult' is \"" + value +
                            "\", not a boolean (write PartialResult:bool=\"true\" or \"false\")",
                        kExitUsage);
    }
    return partial;
}

std::string FailureOf(const QxNodePtr& answer)
{
    if (ResultCodeOf(answer) != 0) return "the request failed: " + ErrorOf(answer);
    std::string text;
    size_t failed = 0;
    for (const QxNodePtr& child : answer.GetChildren()) {
        if (child.GetType() != "RetrieveCountersSubResponse" || RetrieveStatusOf(child) != 2) continue;
        if (++failed <= kMaxFailuresNamed)
            text += (failed > 1 ? "; " : "") + ("sub-request '" + child.GetName() + "' failed: ") + ErrorOf(child);
    }
    if (failed > kMaxFailuresNamed)
        text += "; " + std::to_string(failed - kMaxFailuresNamed) + " more sub-requests failed";
    if (failed > 0) return text;
    if (RetrieveStatusOf(answer) == 2) return "the request was stopped (RetrieveStatus 2): " + ErrorOf(answer);
    return "the answer reported a failure";
}

RetrieveOutcome RequestRunner::Run(const QxNodePtr& request, const AnswerCallback& onAnswer,
                                   const ProgressCallback& progress)
{
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    const auto elapsed = [&] { return std::chrono::duration<double>(Clock::now() - start).count(); };
    RetrieveOutcome outcome;
    const bool retrieve = IsNewRetrieveRequest(request);
    const std::optional<bool> partial = PartialResultOf(request);
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
            if (outcome.failed) outcome.failure = FailureOf(answer);
            return outcome;
        }

        const QxNodePtr cookie = answer.GetChild("RetrieveCookie", false);
        GUID token{};
        if (!cookie || !cookie.GetAttribute("Token", token)) {
            outcome.failed = true;
            outcome.failure = "the answer to a new retrieve request carries no RetrieveCookie with a Token";
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
        if (partial) poll.SetAttribute("PartialResult", *partial);
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
