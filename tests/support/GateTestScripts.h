// Scripted stand-ins for the gate tests: a retriever factory whose retrievers
// finish when the test says, a meta info provider with fixed answers and a
// database management gate with a chosen answer. Each counts what was asked.
// Only public and common headers: the host's export test uses them too.
// Thread safety: every object may be called from any thread at once.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/Components/ComponentObject.h"
#include "common/ErrorHandling/ErrorObjects.h"
#include "common/ErrorHandling/ErrorRecord.h"
#include "common/NodeAccess/QxNodePtr.h"
#include "module/OverviewReportsProcessing/Corvane/RetrievalInterfaces.h"

namespace cvn::test {

inline constexpr HRESULT kHrCancelled = static_cast<HRESULT>(0x8007071A);

/// The outcome of every sub-request, by name, as the test decides it.
class RetrievalScript {
public:
    /// Lets the sub-request's retriever answer with a "Counters" node holding count.
    void Finish(const std::string& name, int64_t count) { Set(name, S_OK, count); }
    /// Lets the sub-request's retriever fail with code.
    void Fail(const std::string& name, HRESULT code) { Set(name, code, 0); }

    /// Blocks until the sub-request is finished or cancelled; the retriever's GetData answer.
    HRESULT Wait(const std::string& name, const std::atomic<bool>& cancelled, IQxNode** data)
    {
        std::unique_lock lock(m_lock);
        m_changed.wait(lock, [&] { return m_outcomes.count(name) != 0 || cancelled.load(); });
        if (cancelled.load() && m_outcomes.count(name) == 0) return kHrCancelled;
        const auto& [code, count] = m_outcomes.at(name);
        if (Failed(code)) {
            ErrorRecord record;
            record.code = code;
            record.description = "scripted failure of " + name;
            SetThreadError(record);
            return code;
        }
        QxNodePtr node = QxNodePtr::Create("Counters", "Counters");
        node.SetAttribute("Count", count);
        *data = node.Detach();
        return S_OK;
    }
    void Cancelled(const std::string& name)
    {
        {
            std::lock_guard lock(m_lock);
            ++m_cancels[name];
        }
        m_changed.notify_all();
    }
    int Cancels(const std::string& name)
    {
        std::lock_guard lock(m_lock);
        return m_cancels[name];
    }
    void Created(const std::string& name, const std::string& queryText)
    {
        std::lock_guard lock(m_lock);
        m_queries[name] = queryText;
    }
    /// The text of the query the factory was given for name; empty when none.
    std::string Query(const std::string& name)
    {
        std::lock_guard lock(m_lock);
        return m_queries[name];
    }

    std::atomic<int> liveRetrievers{0};
    std::atomic<HRESULT> createFailure{S_OK};  ///< CreateRetriever fails with it when set
    std::atomic<int> createFailureAfter{0};    ///< ...after this many successful creations
    std::atomic<int> created{0};

private:
    void Set(const std::string& name, HRESULT code, int64_t count)
    {
        {
            std::lock_guard lock(m_lock);
            m_outcomes[name] = {code, count};
        }
        m_changed.notify_all();
    }

    std::mutex m_lock;
    std::condition_variable m_changed;
    std::map<std::string, std::pair<HRESULT, int64_t>> m_outcomes;
    std::map<std::string, int> m_cancels;
    std::map<std::string, std::string> m_queries;
};

class ScriptedRetriever : public Implements<IDataRetriever> {
public:
    ScriptedRetriever(std::shared_ptr<RetrievalScript> script, QxNodePtr query)
        : m_script(std::move(script)), m_query(std::move(query)), m_name(m_query.GetName())
    {
        ++m_script->liveRetrievers;
    }
    ~ScriptedRetriever() { --m_script->liveRetrievers; }

    HRESULT Cancel() noexcept override
    {
        m_cancelled = true;
        m_script->Cancelled(m_name);
        return S_OK;
    }
    HRESULT GetData(IQxNode** data) noexcept override { return m_script->Wait(m_name, m_cancelled, data); }
    HRESULT GetMetaInfo(IQxNode** metaInfo) noexcept override
    try {
        QxNodePtr node = QxNodePtr::Create("MetaInfo", "MetaInfo");
        node.SetAttribute("RetrieveMethod", int32_t{1});
        if (const QxNodePtr range = m_query.GetChild("TimeRange", false)) node.AddChild(range.Clone());
        *metaInfo = node.Detach();
        return S_OK;
    }
    CV_CATCH_RETURN("ScriptedRetriever::GetMetaInfo")

private:
    std::shared_ptr<RetrievalScript> m_script;
    QxNodePtr m_query;
    std::string m_name;
    std::atomic<bool> m_cancelled{false};
};

class ScriptedRetrieverFactory : public Implements<IDataRetrieverFactory> {
public:
    explicit ScriptedRetrieverFactory(std::shared_ptr<RetrievalScript> script) : m_script(std::move(script)) {}

    HRESULT CreateRetriever(IQxNode* subRequest, IDataRetriever** retriever) noexcept override
    try {
        const QxNodePtr query = QxNodePtr(subRequest).Clone();
        if (Failed(m_script->createFailure) && m_script->created >= m_script->createFailureAfter) {
            return m_script->createFailure;
        }
        ++m_script->created;
        m_script->Created(query.GetName(), query.ToText());
        *retriever = CreateComponent<ScriptedRetriever>(m_script, query).Detach();
        return S_OK;
    }
    CV_CATCH_RETURN("ScriptedRetrieverFactory::CreateRetriever")

private:
    std::shared_ptr<RetrievalScript> m_script;
};

/// Fixed time ranges, the chosen retrieve method answer; keeps what it was asked.
class ScriptedMetaInfoProvider : public Implements<IMetaInfoProvider> {
public:
    HRESULT GetDefaultTimeRange(int32_t offset, IQxNode** timeRange) noexcept override
    {
        defaultOffsets.push_back(offset);
        return Range("2026-12-01T00:00:00Z", offset, timeRange);
    }
    HRESULT GetAvailableTimeRange(int32_t offset, IQxNode** timeRange) noexcept override
    {
        if (Failed(availableFailure)) return availableFailure;
        availableOffsets.push_back(offset);
        return Range("2020-01-01T00:00:00Z", offset, timeRange);
    }
    HRESULT IsTimeRangeValid(int32_t, IQxNode*, BOOL* valid) noexcept override
    {
        *valid = 1;
        return S_OK;
    }
    HRESULT GetRetrieveMethod(IQxNode* request, IQxNode** answer) noexcept override
    try {
        if (Failed(methodFailure)) return methodFailure;
        methodRequests.push_back(QxNodePtr(request).ToText());
        *answer = QxNodePtr::Parse(methodAnswer).Detach();
        return S_OK;
    }
    CV_CATCH_RETURN("ScriptedMetaInfoProvider::GetRetrieveMethod")

    // Read and written by the test's thread only; the gate calls these from the request's thread.
    std::vector<int32_t> defaultOffsets;
    std::vector<int32_t> availableOffsets;
    std::vector<std::string> methodRequests;
    std::string methodAnswer =
        R"(<node q:name="GetRetrieveMethodResponse" RetrieveMethod:i32="2" ResultCode:i32="5" Reason="scripted"/>)";
    HRESULT methodFailure = S_OK;
    HRESULT availableFailure = S_OK;

private:
    static HRESULT Range(const char* from, int32_t offset, IQxNode** timeRange) noexcept
    try {
        QxNodePtr node = QxNodePtr::Create("TimeRange");
        node.SetAttribute("TimeFrom", from);
        node.SetAttribute("TimeTill", "2026-12-06T00:00:00Z");
        node.SetAttribute("Offset", offset);
        *timeRange = node.Detach();
        return S_OK;
    }
    CV_CATCH_RETURN("ScriptedMetaInfoProvider::Range")
};

/// "Service.DatabaseManagementGate": answers every check with the chosen result.
class ScriptedDatabaseGate : public Implements<IRequestProcessor> {
public:
    HRESULT ProcessRequest(IQxNode* request, IQxNode** response) noexcept override
    try {
        {
            std::lock_guard lock(m_lock);
            m_requests.push_back(QxNodePtr(request).ToText());
        }
        if (Failed(callFailure)) return callFailure;
        QxNodePtr answer = QxNodePtr::Create("CheckDatabaseResponse");
        answer.SetAttribute("ResponseResult", static_cast<int32_t>(answerCode.load()));
        if (Failed(answerCode)) {
            char text[64];
            std::snprintf(text, sizeof text, "0x%08X database is down", static_cast<unsigned>(answerCode.load()));
            answer.SetAttribute("ErrSerialized", text);
        }
        *response = answer.Detach();
        return S_OK;
    }
    CV_CATCH_RETURN("ScriptedDatabaseGate::ProcessRequest")

    size_t Calls()
    {
        std::lock_guard lock(m_lock);
        return m_requests.size();
    }
    std::string LastRequest()
    {
        std::lock_guard lock(m_lock);
        return m_requests.empty() ? std::string() : m_requests.back();
    }

    std::atomic<HRESULT> answerCode{S_OK};
    std::atomic<HRESULT> callFailure{S_OK};

private:
    std::mutex m_lock;
    std::vector<std::string> m_requests;
};

}  // namespace cvn::test
