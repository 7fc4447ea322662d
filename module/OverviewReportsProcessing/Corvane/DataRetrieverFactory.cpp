// Method table, method question and retriever creation of the retriever factory.
#include "module/OverviewReportsProcessing/Corvane/DataRetrieverFactory.h"

#include "common/ErrorHandling/ErrorObjects.h"
#include "common/ErrorHandling/ResultNodes.h"
#include "common/Logging/Log.h"
#include "common/ServiceLayer/NamedServices.h"
#include "module/OverviewReportsProcessing/ClassTable.h"
#include "module/OverviewReportsProcessing/Corvane/OverviewCountersRetriever.h"
#include "module/OverviewReportsProcessing/FiltersProcessors/FiltersProcessorsFactory.h"

namespace Corvane {

using namespace cvn;
using OverviewReportsProcessing::ProcessorsChain;

namespace {

const ClassRegistration<CDataRetrieverFactory> kRegistration{CLSID_DataRetrieverFactory};

}  // namespace

HRESULT CDataRetrieverFactory::Configure(IQxNode* configuration) noexcept
try {
    CV_TRACE_METHOD(Dbg);
    ThrowIfNull(configuration);
    const QxNodePtr config(configuration);
    const auto provider =
        GetNamedInstance<IMetaInfoProvider>(config.GetRequiredAttribute<std::string>("MetaInfoProviderInstanceName"));
    const QxNodePtr retrieverConfig = config.GetChild("Retriever");
    const QxNodePtr defaults = config.GetChild("DefaultProcessorsConfig");
    const QxNodePtr methodsConfig = config.GetChild("RetrieveMethods");

    std::map<int32_t, ProcessorsChain> methods;
    try {
        for (const QxNodePtr& methodConfig : methodsConfig.GetChildren()) {
            const int32_t method = methodConfig.GetRequiredAttribute<int32_t>("RetrieveMethod");
            ProcessorsChain chain = OverviewReportsProcessing::BuildProcessorsChain(methodConfig, defaults);
            if (!methods.emplace(method, chain).second) {
                CV_LOG(Warn, "Corvane::CDataRetrieverFactory::Configure: retrieve method " << method
                                                                                           << " configured twice; the first is kept");
                for (const auto& processor : chain) processor->Shutdown();
            }
        }
    } catch (...) {
        for (auto& [method, chain] : methods)
            for (const auto& processor : chain) processor->Shutdown();
        throw;
    }

    // Only a complete configuration replaces the previous one; the old chains are shut down.
    std::map<int32_t, ProcessorsChain> previous;
    {
        std::unique_lock guard(m_lock);
        previous = std::exchange(m_methods, std::move(methods));
        m_retrieverConfig = retrieverConfig;
        m_metaInfoProvider = provider;
    }
    for (auto& [method, chain] : previous)
        for (const auto& processor : chain) processor->Shutdown();
    return S_OK;
}
CV_CATCH_RETURN()

HRESULT CDataRetrieverFactory::Shutdown() noexcept
try {
    CV_TRACE_METHOD(Dbg);
    std::map<int32_t, ProcessorsChain> methods;
    {
        std::unique_lock guard(m_lock);
        methods = std::move(m_methods);
        m_methods.clear();
    }
    for (auto& [method, chain] : methods)
        for (const auto& processor : chain) processor->Shutdown();
    return S_OK;
}
CV_CATCH_RETURN()

int32_t CDataRetrieverFactory::AskRetrieveMethod(const QxNodePtr& subRequest)
{
    ComPtr<IMetaInfoProvider> provider;
    {
        std::shared_lock guard(m_lock);
        provider = m_metaInfoProvider;
    }
    ThrowIf(!provider, kHrNotFound, "The retriever factory is not configured");
    const QxNodePtr question = subRequest.Clone();
    question.SetType("GetRetrieveMethodRequest");
    IQxNode* raw = nullptr;
    ThrowIfFailed(provider->GetRetrieveMethod(question.Get(), &raw));
    const QxNodePtr answer(raw, QxNodePtr::Attach{});
    ThrowIf(!answer, kHrInvalidData, "The meta info provider gave no answer");
    ReadResultFromNode(answer, kResultCodeAttributes).ThrowIfFailed();
    return answer.GetRequiredAttribute<int32_t>("RetrieveMethod");
}

QxNodePtr CDataRetrieverFactory::ProcessFilters(const QxNodePtr& subRequest)
{
    CV_TRACE_METHOD(Dbg);
    CV_LOG(Dbg2, "Filters: " << subRequest);
    const QxNodePtr copy = subRequest.Clone();
    const int32_t method = AskRetrieveMethod(subRequest);
    ProcessorsChain chain;
    bool found = false;
    {
        std::shared_lock guard(m_lock);
        if (const auto entry = m_methods.find(method); entry != m_methods.end()) {
            chain = entry->second;
            found = true;
        }
    }
    if (!found) {
        CV_LOG(Err, "Invalid retrieve method: " << method);
        ThrowHrWithDescription(kHrInvalidData, "Invalid retrieve method: " + std::to_string(method));
    }
    OverviewReportsProcessing::RunProcessorsChain(chain, copy);
    copy.SetAttribute("RetrieveMethod", method);
    CV_LOG(Dbg2, "Result filters: " << copy);
    return copy;
}

HRESULT CDataRetrieverFactory::CreateRetriever(IQxNode* subRequest, IDataRetriever** retriever) noexcept
try {
    CV_TRACE_METHOD(Dbg);
    ThrowIf(!subRequest || !retriever, E_POINTER);
    *retriever = nullptr;
    const QxNodePtr processed = ProcessFilters(QxNodePtr(subRequest));
    QxNodePtr config;
    {
        std::shared_lock guard(m_lock);
        config = m_retrieverConfig;
    }
    const auto created = CreateComponent<CDataRetriever>(processed, config);
    ThrowIfFailed(created->QueryInterface(&IDataRetriever::kIid, reinterpret_cast<void**>(retriever)));
    return S_OK;
}
CV_CATCH_RETURN()

}  // namespace Corvane
