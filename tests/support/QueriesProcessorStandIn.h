// A queries processor for tests and benchmarks: accepts a query, answers a
// handle, reports "Status" 1 for a scripted number of polls, then the scripted
// result or error, and records every call (queries, polls, FreeResult releases).
// Thread safety: every method may be called from any thread at once.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "common/Components/ComponentObject.h"
#include "common/NodeAccess/QxNodePtr.h"
#include "corvane/Components.h"

namespace cvn::host {

/// How the stand-in answers one query.
struct QueryScript {
    int32_t runningPolls = 0;       ///< polls answered with "Status" 1 before the final answer; negative: forever
    std::string resultText;         ///< text form of the final answer's node; empty: an empty "Result" node
    HRESULT errorResult = S_OK;     ///< written as "Error_Result" when not S_OK
    std::string errorSerialized;    ///< written as "Error_Serialized" when not empty
    HRESULT acceptFailure = S_OK;   ///< a failure returned for the query itself
    bool nullHandle = false;        ///< accept the query but answer no handle node
};

enum class QueryCallKind { Query, Poll, Free };

/// One recorded call.
struct QueryCall {
    QueryCallKind kind = QueryCallKind::Query;
    int64_t handleId = 0;       ///< 0 for a query refused or answered without a handle
    std::string queryName;      ///< the query's node name
    QxNodePtr node;             ///< a copy of what was sent
    bool hasContext = false;    ///< a request context of kind 1 was bound to the calling thread
    GUID contextRequestId{};    ///< its request id
    HRESULT answered = S_OK;    ///< what ProcessRequest returned
};

class CQueriesProcessorStandIn : public Implements<IRequestProcessor> {
public:
    using Scripter = std::function<QueryScript(const QxNodePtr& query)>;

    /// Every query gets the default script (an immediate empty result) until a scripter is set.
    void SetScripter(Scripter scripter);
    void SetScript(QueryScript script);

    /// A query gives a "QueryHandle" node; a handle node a poll answer; a handle with "FreeResult" true
    /// releases it. Unknown or released handles: 0x80070490; a node without type and handle: E_INVALIDARG.
    HRESULT ProcessRequest(IQxNode* request, IQxNode** response) noexcept override;

    std::vector<QueryCall> Calls() const;
    /// The calls of kind that were answered S_OK.
    size_t Count(QueryCallKind kind) const;
    /// Handles answered but not yet released with FreeResult.
    std::vector<int64_t> UnreleasedHandles() const;

private:
    struct HandleState {
        QueryScript script;
        std::string queryName;
        int32_t polls = 0;
        bool released = false;
    };

    QxNodePtr Accept(const QxNodePtr& query, QueryCall& call);
    QxNodePtr Answer(const QxNodePtr& node, QueryCall& call);

    mutable std::mutex m_lock;
    Scripter m_scripter;
    int64_t m_nextHandle = 1;
    std::map<int64_t, HandleState> m_handles;
    std::vector<QueryCall> m_calls;
};

}  // namespace cvn::host
