// FilterHelper: the operations that read and rewrite filter trees (conditions,
// grouping and sorting sections, sub-request merges, preset expansion).
// Thread safety: no shared mutable state; a tree must not be changed from two
// threads at once. Failures are thrown as HRX.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/Metrics/ColumnHelper.h"
#include "common/NodeAccess/QxNodePtr.h"

namespace FilterHelper {

/// How many levels below its start node a walk over a request, query or result tree goes; a tree
/// nested deeper is refused with HRX 0x8007000D. Dashboards nest a few levels; this bounds the work
/// and the memory one request can ask for.
inline constexpr size_t kMaxTreeDepth = 1000;

/// Visits node and every node below it in pre-order, without recursion; visit returns whether to
/// enter the node's children. HRX 0x8007000D, naming kMaxTreeDepth, when a node to enter lies deeper
/// than that below node; nothing more is visited then.
void WalkTree(const cvn::QxNodePtr& node, const std::function<bool(const cvn::QxNodePtr&)>& visit);

/// The column attribute of a leaf type ("Columnn" or "Column"); none for any other node.
std::optional<std::string> GetColumnAttrName(const cvn::QxNodePtr& node);

/// The column a leaf names; none for a node that is not a leaf; HRX 0x80070490 when the leaf lacks it.
std::optional<std::string> GetColumnName(const cvn::QxNodePtr& leaf);

/// Sets the column a leaf names; HRX 0x8007000D for a node that is not a leaf.
void SetColumnName(const cvn::QxNodePtr& leaf, std::string_view column);

/// Calls back for every leaf below node (not node itself), in order, without descending into leaves.
/// HRX 0x8007000D as WalkTree for a tree nested too deep.
void TraverseCondition(const cvn::QxNodePtr& node, const std::function<void(const cvn::QxNodePtr&)>& callback);

/// The real columns the filter's leaves name; pseudo-columns are skipped, unknown names add 0x800.
/// HRX 0x8007000D as WalkTree for a tree nested too deep.
OverviewReportsProcessing::ColumnsMask MakeTotalFiltersMask(const cvn::QxNodePtr& filters);

/// A new unnamed "Condition" node with the given "operator".
cvn::QxNodePtr NewCondition(std::string_view conditionOperator);

/// Makes condition the first AND term of the filter's conditions (creating the section when absent).
void AddNewCondition(const cvn::QxNodePtr& condition, const cvn::QxNodePtr& filters);

/// Replaces a leaf, or the IN / NOT IN condition holding it, by newNode (appended last).
/// HRX 0x80070490 when the parent lacks "operator" or the leaf has no parent; the tree is then unchanged.
void ReplaceConditionValue(const cvn::QxNodePtr& leaf, const cvn::QxNodePtr& newNode);

/// Puts a copy of replacement where its "Path" points below root. HRX 0x80070490 for a missing "Path" or
/// a path that finds nothing (logged), 0x8007000D for a path naming root itself; root is then unchanged.
void Replace(const cvn::QxNodePtr& replacement, const cvn::QxNodePtr& root);

/// A new "Query" node for one sub-request: replacements applied, sections merged, the request's time
/// range and attributes. Works on a copy: the request is never changed. HRX 0x80070490 for an unknown
/// sub-request and from Replace.
cvn::QxNodePtr MakeSubRequestFilters(const cvn::QxNodePtr& request, std::string_view subName);

/// The leaves on column "ConditionId" below node, in traversal order; empty when there are none.
/// HRX 0x8007000D as WalkTree for a tree nested too deep.
std::vector<cvn::QxNodePtr> GetPresetConditions(const cvn::QxNodePtr& node);

/// Replaces each "ConditionId" leaf by a copy of its preset and marks the enclosing (sub-)request with
/// "PresetConditionName". Every leaf is checked first: a missing "Value" (0x80070490) or an unknown preset
/// (0x80070490, logged) fails with the request unchanged, as does a request nested deeper than
/// kMaxTreeDepth (0x8007000D).
void ExpandPresetConditions(const cvn::QxNodePtr& request);

/// Condition(AND){When >= "TimeFrom", When < "TimeTill"} with the bounds as text; null for a null range;
/// HRX 0x8007000D (logged) when either bound is missing.
cvn::QxNodePtr ConvertTimeRangeToWhenCondition(const cvn::QxNodePtr& timeRange);

/// Appends to target a "When" leaf holding the range's attribute as text; nothing when the attribute is absent.
void AddWhenCondition(const cvn::QxNodePtr& target, const cvn::QxNodePtr& timeRange, std::string_view attribute,
                      std::string_view comparator);

}  // namespace FilterHelper
