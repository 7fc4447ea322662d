// Turns the server's notification nodes into modifications.
#include "common/SubsystemHelpers/ConfigSubscriptionHelpers/NodeModifyUtils.h"

#include "common/ErrorHandling/HRX.h"
#include "common/Logging/Log.h"
#include "corvane/ComPtr.h"

namespace CfgSubscriptionsHelpers::NodeModifyUtils {

using namespace cvn;

namespace {

constexpr uint32_t kPrepareSequence = 8;

TNodeModification ReadModification(const QxNodePtr& notification)
{
    TNodeModification modification;
    modification.path = notification.GetRequiredAttribute<std::string>("ModifiedNodePath");
    modification.changesMask = static_cast<uint32_t>(notification.GetRequiredAttribute<int64_t>("ChangesMask"));
    if (notification.GetChildCount() > 0) modification.node = notification.GetChild(uint64_t{0});
    return modification;
}

}  // namespace

std::vector<TNodeModification> GetModifications(IQxNodeModifyEnum* modifications)
{
    CV_TRACE_METHOD(Dbg3);
    ThrowIfNull(modifications);
    ComPtr<IQxNodeSequence> sequence;
    ThrowIfFailed(modifications->GetNodes(sequence.Put()));
    ThrowIfNull(sequence.Get());
    ThrowIfFailed(sequence->Prepare(kPrepareSequence));

    std::vector<TNodeModification> result;
    for (;;) {
        IQxNode* handle = nullptr;
        const HRESULT hr = sequence->Next(&handle);
        QxNodePtr notification(handle, QxNodePtr::Attach{});
        if (hr != S_OK) break;  // any other answer, a failure too, ends the sequence
        ThrowIfNull(notification.Get(), kHrInvalidData, "The modification sequence yielded no node");
        result.push_back(ReadModification(notification));
    }
    return result;
}

}  // namespace CfgSubscriptionsHelpers::NodeModifyUtils
