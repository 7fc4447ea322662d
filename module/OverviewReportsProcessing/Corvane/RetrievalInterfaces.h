// Interfaces through which the gate, the retrieve contexts, the retriever
// factory, the data retrievers and the meta info provider reach each other.
// Thread safety: every method may be called from any thread at once.
#pragma once

#include "corvane/Components.h"

namespace cvn {

struct IDataRetriever : IComponentBase {
    static constexpr GUID kIid = MakeGuid(0x9D69AC87, 0x6679, 0x4C84, 0xBB77, 0x40D1FA1B04EC);
    virtual HRESULT Cancel() noexcept = 0;
    /// Blocks until the queries processor answered or the retriever was cancelled; node named "Counters".
    virtual HRESULT GetData(IQxNode** data) noexcept = 0;
    /// "MetaInfo" node with the sub-request's "RetrieveMethod" and a copy of its "TimeRange".
    virtual HRESULT GetMetaInfo(IQxNode** metaInfo) noexcept = 0;

protected:
    ~IDataRetriever() = default;
};

struct IDataRetrieverFactory : IComponentBase {
    static constexpr GUID kIid = MakeGuid(0xc65e59a3, 0x3171, 0x41e6, 0xa4cd, 0x9a1338f706b0);
    virtual HRESULT CreateRetriever(IQxNode* subRequest, IDataRetriever** retriever) noexcept = 0;

protected:
    ~IDataRetrieverFactory() = default;
};

struct IMetaInfoProvider : IComponentBase {
    static constexpr GUID kIid = MakeGuid(0x9f3fda92, 0x7219, 0x48f8, 0x84d4, 0xc061660835a0);
    virtual HRESULT GetDefaultTimeRange(int32_t timeZoneOffsetSec, IQxNode** timeRange) noexcept = 0;
    virtual HRESULT GetAvailableTimeRange(int32_t timeZoneOffsetSec, IQxNode** timeRange) noexcept = 0;
    virtual HRESULT IsTimeRangeValid(int32_t timeZoneOffsetSec, IQxNode* timeRange, BOOL* valid) noexcept = 0;
    virtual HRESULT GetRetrieveMethod(IQxNode* request, IQxNode** answer) noexcept = 0;

protected:
    ~IMetaInfoProvider() = default;
};

}  // namespace cvn
