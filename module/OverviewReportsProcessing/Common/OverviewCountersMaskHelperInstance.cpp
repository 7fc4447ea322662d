// The process-wide MaskHelper: loaded from the configuration store on first use,
// retried after a failure, replaceable by tests.
#include <atomic>
#include <mutex>

#include "common/ServiceLayer/NamedServices.h"
#include "module/OverviewReportsProcessing/Common/OverviewCountersMaskHelper.h"
#include "module/OverviewReportsProcessing/Common/OverviewCountersMaskHelperTestHooks.h"

namespace OverviewReportsProcessing {

namespace {

struct InstanceHolder {
    std::recursive_mutex lock;
    std::atomic<const MaskHelper*> current{nullptr};
    // Every instance ever made stays here: queries may hold references across a test's reset.
    std::vector<std::unique_ptr<MaskHelper>> made;
};

// Never destroyed: the presets hold node handles that must not be closed after the node library has gone.
InstanceHolder& Holder()
{
    static InstanceHolder* holder = new InstanceHolder;
    return *holder;
}

}  // namespace

const MaskHelper& MaskHelper::Instance()
{
    InstanceHolder& holder = Holder();
    if (const MaskHelper* ready = holder.current.load(std::memory_order_acquire)) return *ready;
    std::lock_guard<std::recursive_mutex> guard(holder.lock);
    if (const MaskHelper* ready = holder.current.load(std::memory_order_acquire)) return *ready;
    const cvn::QxNodePtr configuration =
        cvn::ReadConfigNode(cvn::ConfigSource::AppConfigStorage, kConfigurationPath, true);
    auto created = std::make_unique<MaskHelper>(configuration);
    holder.made.push_back(std::move(created));
    holder.current.store(holder.made.back().get(), std::memory_order_release);
    return *holder.made.back();
}

void InstallMaskHelperForTests(std::unique_ptr<MaskHelper> helper)
{
    InstanceHolder& holder = Holder();
    std::lock_guard<std::recursive_mutex> guard(holder.lock);
    holder.made.push_back(std::move(helper));
    holder.current.store(holder.made.back().get(), std::memory_order_release);
}

void ResetMaskHelperForTests()
{
    InstanceHolder& holder = Holder();
    std::lock_guard<std::recursive_mutex> guard(holder.lock);
    holder.current.store(nullptr, std::memory_order_release);
}

}  // namespace OverviewReportsProcessing
