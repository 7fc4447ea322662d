// Processor table and chain building.
#include "OverviewReportsProcessing/Corvane/FiltersProcessorsFactory.h"

#include <map>
#include <shared_mutex>

#include "ErrorHandling/ErrorObjects.h"
#include "ErrorHandling/HRX.h"
#include "Logging/Log.h"
#include "OverviewReportsProcessing/Corvane/AliasProcessor.h"
#include "OverviewReportsProcessing/Corvane/LiveMonitoringPlansProcessor.h"
#include "OverviewReportsProcessing/Corvane/MaskProcessor.h"
#include "OverviewReportsProcessing/Corvane/MonitoringPlanNameProcessor.h"
#include "OverviewReportsProcessing/Corvane/PresetConditionProcessor.h"
#include "OverviewReportsProcessing/Corvane/QueryTemplateProcessor.h"
#include "OverviewReportsProcessing/Corvane/SortingProcessor.h"
#include "OverviewReportsProcessing/Corvane/WhenProcessor.h"

namespace OverviewReportsProcessing {

using corvane::QxNodePtr;

namespace {

using ProcessorTable = std::map<std::string, ProcessorActivator, std::less<>>;

// One line per processor kind: { "Name", BuildActivator<Name>() }.
const ProcessorTable& BuiltInProcessors()
{
    static const ProcessorTable table{
        {"AliasProcessor", BuildActivator<AliasProcessor>()},
        {"MaskProcessor", BuildActivator<MaskProcessor>()},
        {"QueryTemplateProcessor", BuildActivator<QueryTemplateProcessor>()},
        {"SortingProcessor", BuildActivator<SortingProcessor>()},
        {"WhenProcessor", BuildActivator<WhenProcessor>()},
        {"PresetConditionProcessor", BuildActivator<PresetConditionProcessor>()},
        {"LiveMonitoringPlansProcessor", BuildActivator<LiveMonitoringPlansProcessor>()},
        {"MonitoringPlanNameProcessor", BuildActivator<MonitoringPlanNameProcessor>()},
    };
    return table;
}

struct TestProcessors {
    std::shared_mutex lock;
    ProcessorTable table;
};

TestProcessors& TestRegistrations()
{
    static TestProcessors* registrations = new TestProcessors();  // outlives every static user
    return *registrations;
}

ProcessorActivator FindActivator(std::string_view name)
{
    const ProcessorTable& builtIn = BuiltInProcessors();
    if (const auto found = builtIn.find(name); found != builtIn.end()) return found->second;
    TestProcessors& tests = TestRegistrations();
    std::shared_lock guard(tests.lock);
    if (const auto found = tests.table.find(name); found != tests.table.end()) return found->second;
    return nullptr;
}

}  // namespace

FiltersProcessorPtr MakeProcessor(std::string_view name, const QxNodePtr& configuration)
{
    const ProcessorActivator activator = FindActivator(name);
    if (!activator) {
        const std::string message = "Filter Processor not found: " + std::string(name);
        CV_LOG(Err, "OverviewReportsProcessing::MakeProcessor failed: " << message);
        corvane::ThrowHrWithDescription(corvane::kHrInvalidData, message);
    }
    FiltersProcessorPtr processor = activator(configuration);
    if (!processor) corvane::ThrowHrWithDescription(corvane::E_UNEXPECTED, "Filter Processor not made: " + std::string(name));
    return processor;
}

QxNodePtr FindProcessorConfig(std::string_view name, const QxNodePtr& methodConfig, const QxNodePtr& defaultConfig)
{
    if (methodConfig) {
        if (QxNodePtr own = methodConfig.GetChild(name, false)) return own;
    }
    if (defaultConfig) return defaultConfig.GetChild(name, false);
    return nullptr;
}

ProcessorsChain BuildProcessorsChain(const QxNodePtr& methodConfig, const QxNodePtr& defaultConfig)
{
    if (!methodConfig) corvane::ThrowHr(corvane::E_POINTER);
    const auto names = methodConfig.GetRequiredAttribute<std::vector<std::string>>("Processors");
    ProcessorsChain chain;
    chain.reserve(names.size());
    for (const std::string& name : names) chain.push_back(MakeProcessor(name, FindProcessorConfig(name, methodConfig, defaultConfig)));
    return chain;
}

void RunProcessorsChain(const ProcessorsChain& chain, const QxNodePtr& filters)
{
    for (const FiltersProcessorPtr& processor : chain) processor->ProcessFilters(filters);
}

void RegisterProcessorForTests(const std::string& name, ProcessorActivator activator)
{
    if (name.empty() || !activator) corvane::ThrowHr(corvane::E_INVALIDARG);
    TestProcessors& tests = TestRegistrations();
    std::unique_lock guard(tests.lock);
    tests.table[name] = std::move(activator);
}

void UnregisterProcessorForTests(const std::string& name)
{
    TestProcessors& tests = TestRegistrations();
    std::unique_lock guard(tests.lock);
    tests.table.erase(name);
}

}  // namespace OverviewReportsProcessing
