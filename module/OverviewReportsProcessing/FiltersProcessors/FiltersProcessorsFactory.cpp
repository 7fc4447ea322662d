// Processor table and chain building.
#include "module/OverviewReportsProcessing/FiltersProcessors/FiltersProcessorsFactory.h"

#include <map>
#include <shared_mutex>

#include "common/ErrorHandling/ErrorObjects.h"
#include "common/ErrorHandling/HRX.h"
#include "common/Logging/Log.h"
#include "module/OverviewReportsProcessing/FiltersProcessors/AliasProcessor.h"
#include "module/OverviewReportsProcessing/FiltersProcessors/FiltersProcessorsFactoryTestHooks.h"
#include "module/OverviewReportsProcessing/FiltersProcessors/LiveMonitoringPlansProcessor.h"
#include "module/OverviewReportsProcessing/FiltersProcessors/MaskProcessor.h"
#include "module/OverviewReportsProcessing/FiltersProcessors/MonitoringPlanNameProcessor.h"
#include "module/OverviewReportsProcessing/FiltersProcessors/PresetConditionProcessor.h"
#include "module/OverviewReportsProcessing/FiltersProcessors/QueryTemplateProcessor.h"
#include "module/OverviewReportsProcessing/FiltersProcessors/SortingProcessor.h"
#include "module/OverviewReportsProcessing/FiltersProcessors/WhenProcessor.h"

namespace OverviewReportsProcessing {

using cvn::QxNodePtr;

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
        cvn::ThrowHrWithDescription(cvn::kHrInvalidData, message);
    }
    FiltersProcessorPtr processor = activator(configuration);
    if (!processor) cvn::ThrowHrWithDescription(cvn::E_UNEXPECTED, "Filter Processor not made: " + std::string(name));
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
    cvn::ThrowIfNull(methodConfig);
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
    cvn::ThrowIf(name.empty() || !activator, cvn::E_INVALIDARG);
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
