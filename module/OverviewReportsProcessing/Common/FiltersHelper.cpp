// FilterHelper: column access, traversal, the column mask and condition rewriting.
#include "module/OverviewReportsProcessing/Common/FiltersHelper.h"

#include "common/ErrorHandling/HRX.h"

#include <array>
#include <string>
#include <utility>
#include <vector>


namespace FilterHelper {

using cvn::QxNodePtr;
using OverviewReportsProcessing::ColumnsMask;

namespace {

constexpr std::array<std::pair<std::string_view, std::string_view>, 3> kLeafColumnAttributes{{
    {"ConditionValues", "Columnn"},
    {"GroupByRootEntry", "Column"},
    {"SortingEntry", "Column"},
}};

// Columns that name no counters column and so never enter a mask.
constexpr std::array<std::string_view, 4> kColumnsOutsideMask{"Count", "When", "Mask", "ConditionId"};

std::optional<std::string_view> LeafColumnAttribute(std::string_view type) noexcept
{
    for (const auto& [leafType, attribute] : kLeafColumnAttributes) {
        if (leafType == type) return attribute;
    }
    return std::nullopt;
}

bool IsOutsideMask(std::string_view column) noexcept
{
    for (std::string_view pseudo : kColumnsOutsideMask) {
        if (pseudo == column) return true;
    }
    return false;
}

}  // namespace

std::optional<std::string> GetColumnAttrName(const QxNodePtr& node)
{
    CV_TRACE_METHOD(Dbg3);
    if (const auto attribute = LeafColumnAttribute(node.GetType())) return std::string(*attribute);
    return std::nullopt;
}

std::optional<std::string> GetColumnName(const QxNodePtr& leaf)
{
    const auto attribute = GetColumnAttrName(leaf);
    if (!attribute) return std::nullopt;
    return leaf.GetRequiredAttribute<std::string>(*attribute);
}

void SetColumnName(const QxNodePtr& leaf, std::string_view column)
{
    const auto attribute = GetColumnAttrName(leaf);
    if (!attribute)
        cvn::ThrowHrWithDescription(cvn::kHrInvalidData,
                                        "Cannot set a column on a node of type '" + leaf.GetType() + "'");
    leaf.SetAttribute(*attribute, column);
}

void WalkTree(const QxNodePtr& node, const std::function<bool(const QxNodePtr&)>& visit)
{
    // An explicit stack: requests come from clients, and their nesting must not decide how deep
    // this thread's stack goes.
    std::vector<std::pair<QxNodePtr, size_t>> pending;
    pending.emplace_back(node, 0);
    while (!pending.empty()) {
        auto [current, depth] = std::move(pending.back());
        pending.pop_back();
        if (!visit(current)) continue;
        std::vector<QxNodePtr> children = current.GetChildren();
        if (children.empty()) continue;
        if (depth >= kMaxTreeDepth)
            cvn::ThrowHrWithDescription(cvn::kHrInvalidData, "The tree is nested deeper than the limit of " +
                                                                 std::to_string(kMaxTreeDepth) + " levels");
        for (auto child = children.rbegin(); child != children.rend(); ++child)
            pending.emplace_back(std::move(*child), depth + 1);
    }
}

void TraverseCondition(const QxNodePtr& node, const std::function<void(const QxNodePtr&)>& callback)
{
    CV_TRACE_METHOD(Dbg3);
    bool start = true;  // the first node visited is node itself, never passed on even when a leaf
    WalkTree(node, [&](const QxNodePtr& visited) {
        if (std::exchange(start, false) || !LeafColumnAttribute(visited.GetType())) return true;
        callback(visited);
        return false;
    });
}

ColumnsMask MakeTotalFiltersMask(const QxNodePtr& filters)
{
    CV_TRACE_METHOD(Dbg2);
    ColumnsMask mask;
    TraverseCondition(filters, [&](const QxNodePtr& leaf) {
        const auto column = GetColumnName(leaf);
        if (column && !IsOutsideMask(*column)) {
            mask.Set(OverviewReportsProcessing::ColumnHelper::GetColumnMask(*column));
            return;
        }
        CV_LOG(Dbg2, "Skip invalid node: " << leaf);
    });
    return mask;
}

QxNodePtr NewCondition(std::string_view conditionOperator)
{
    QxNodePtr condition = QxNodePtr::Create({}, "Condition");
    condition.SetAttribute("operator", conditionOperator);
    return condition;
}

void AddNewCondition(const QxNodePtr& condition, const QxNodePtr& filters)
{
    CV_TRACE_METHOD(Dbg2);
    const QxNodePtr conjunction = NewCondition("AND");
    conjunction.AddChild(condition);
    QxNodePtr oldRoot;
    for (const QxNodePtr& child : filters.GetChildren()) {
        if (child.GetType() == "ConditionsRoot") {
            oldRoot = child;
            break;
        }
    }
    if (oldRoot) {
        for (const QxNodePtr& term : oldRoot.GetChildren()) conjunction.AddChild(term.Clone());
    }
    const QxNodePtr root = QxNodePtr::Create("Conditions", "ConditionsRoot");
    root.AddChild(conjunction);
    if (oldRoot) filters.RemoveChild(oldRoot);
    filters.AddChild(root);
}

void ReplaceConditionValue(const QxNodePtr& leaf, const QxNodePtr& newNode)
{
    CV_TRACE_METHOD(Dbg3);
    QxNodePtr parent = leaf.GetParent();
    cvn::ThrowIf(!parent, cvn::kHrNotFound, "The condition to replace has no parent");
    QxNodePtr target = leaf;
    const auto conditionOperator = parent.GetRequiredAttribute<std::string>("operator");
    if (conditionOperator == "IN" || conditionOperator == "NOT IN") {
        target = parent;
        parent = parent.GetParent();
        cvn::ThrowIf(!parent, cvn::kHrNotFound, "The list condition to replace has no parent");
    }
    CV_LOG(Dbg3, "Old condition: " << parent);
    parent.RemoveChild(target);
    parent.AddChild(newNode);
    CV_LOG(Dbg3, "New condition: " << parent);
}

void Replace(const QxNodePtr& replacement, const QxNodePtr& root)
{
    const auto path = replacement.GetRequiredAttribute<std::string>("Path");
    const QxNodePtr found = root.FindByPath(path, 0);
    if (!found)
        CV_FAIL_LOGGED("FilterHelper::Replace", cvn::kHrNotFound, "Node for replacement not found: " << path);
    const QxNodePtr parent = found.GetParent();
    if (!parent) cvn::ThrowHrWithDescription(cvn::kHrInvalidData, "Cannot replace the root node: " + path);
    // Copied before anything moves: the replacement may lie inside the node it replaces.
    const QxNodePtr copy = replacement.Clone();
    parent.RemoveChild(found);
    parent.AddChild(copy);
}

}  // namespace FilterHelper
