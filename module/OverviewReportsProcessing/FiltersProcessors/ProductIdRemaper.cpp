// ProductIdRemaper: data sources to product ids in filters, and back in results.
#include "module/OverviewReportsProcessing/FiltersProcessors/ProductIdRemaper.h"

#include <optional>
#include <utility>
#include <vector>

#include "common/ErrorHandling/ErrorObjects.h"
#include "common/Helpers/PrimitiveText.h"
#include "common/Logging/Log.h"
#include "module/OverviewReportsProcessing/Common/FiltersHelper.h"

namespace OverviewReportsProcessing {

using cvn::GuidToText;
using cvn::QxNodePtr;

namespace {

constexpr std::string_view kDataSource = "DataSource";
constexpr std::string_view kProductId = "ProductId";

template <class Predicate>
void CollectPreOrder(const QxNodePtr& node, const Predicate& wanted, std::vector<QxNodePtr>& out)
{
    FilterHelper::WalkTree(node, [&](const QxNodePtr& visited) {
        if (wanted(visited)) out.push_back(visited);
        return true;
    });
}

QxNodePtr MakeCondition(std::string_view column, std::string_view conditionOperator,
                        const std::vector<std::string>& values)
{
    CV_TRACE(Dbg, "`anonymous-namespace'::MakeCondition");
    const QxNodePtr condition = FilterHelper::NewCondition(conditionOperator);
    const QxNodePtr leaf = QxNodePtr::Create({}, "ConditionValues");
    FilterHelper::SetColumnName(leaf, column);
    leaf.SetAttribute("Values", values);
    condition.AddChild(leaf);
    return condition;
}

// The data source ids a condition leaf names, each once, in the order given.
std::vector<GUID> ReadDataSourceIds(const QxNodePtr& leaf)
{
    const char* attribute = leaf.HasAttribute("Value") ? "Value" : "Values";
    uint32_t stored = 0;
    if (!leaf.HasAttribute(attribute, &stored)) QxNodePtr::ThrowMissingAttribute(attribute);
    std::vector<GUID> read;
    if (stored & QXN_TYPE_ARRAY)
        read = leaf.GetRequiredAttribute<std::vector<GUID>>(attribute);
    else
        read.push_back(leaf.GetRequiredAttribute<GUID>(attribute));
    std::vector<GUID> ids;
    for (const GUID& id : read) {
        bool seen = false;
        for (const GUID& known : ids) seen = seen || known == id;
        if (!seen) ids.push_back(id);
    }
    return ids;
}

}  // namespace

ProductIdRemaper::ProductIdRemaper(const QxNodePtr& mapping)
{
    CV_TRACE_METHOD(Dbg);
    if (!mapping) return;
    for (const QxNodePtr& child : mapping.GetChildren()) {
        if (child.GetType() != "DataSource") continue;
        const auto dataSource = child.GetRequiredAttribute<GUID>("DataSource");
        const auto products = child.GetRequiredAttribute<std::vector<std::string>>("ProductIds");
        std::set<std::string>& known = m_productsByDataSource[dataSource];
        for (const std::string& product : products) {
            known.insert(product);
            m_dataSourceByProduct.emplace(product, dataSource);  // the first data source naming a product keeps it
        }
    }
    for (const auto& [dataSource, products] : m_productsByDataSource) {
        if (products.size() >= 2) m_sharedDataSources.insert(dataSource);
    }
}

bool ProductIdRemaper::ReplaceDataSourceFilters(const QxNodePtr& filters) const
{
    std::vector<QxNodePtr> found;
    CollectPreOrder(
        filters,
        [](const QxNodePtr& node) {
            const auto column = FilterHelper::GetColumnName(node);
            return column && *column == kDataSource;
        },
        found);

    // Build every replacement first: a bad condition must not leave the filters half rewritten.
    std::vector<std::pair<QxNodePtr, QxNodePtr>> replacements;
    for (const QxNodePtr& leaf : found) {
        if (leaf.GetType() != "ConditionValues") continue;
        std::vector<std::string> products;
        for (const GUID& id : ReadDataSourceIds(leaf)) {
            const auto known = m_productsByDataSource.find(id);
            if (known == m_productsByDataSource.end()) {
                CV_LOG(Err, "DataSource not found: " << id);
                cvn::ThrowHrWithDescription(cvn::kHrNotFound, "DataSource not found: " + GuidToText(id));
            }
            products.insert(products.end(), known->second.begin(), known->second.end());
        }
        const QxNodePtr parent = leaf.GetParent();
        cvn::ThrowIf(!parent, cvn::kHrNotFound, "DataSource condition has no parent");
        std::string conditionOperator = parent.GetRequiredAttribute<std::string>("operator");
        if (conditionOperator != "IN" && conditionOperator != "NOT IN") {
            const auto comparator = leaf.GetRequiredAttribute<std::string>("Comparator");
            if (comparator == "=") {
                conditionOperator = "IN";
            } else if (comparator == "<>") {
                conditionOperator = "NOT IN";
            } else {
                cvn::log::MessageBuilder text;
                text << "Invalid DataSource condition: " << leaf;
                CV_LOG(Err, text.Text());
                cvn::ThrowHrWithDescription(cvn::kHrInvalidData, text.Text());
            }
        }
        replacements.emplace_back(leaf, MakeCondition(kProductId, conditionOperator, products));
    }

    for (const QxNodePtr& node : found) {
        if (node.GetType() != "ConditionValues") FilterHelper::SetColumnName(node, kProductId);
    }
    for (const auto& [leaf, condition] : replacements) FilterHelper::ReplaceConditionValue(leaf, condition);

    CV_LOG(Dbg2, "New filters: " << filters);
    return !found.empty();
}

void ProductIdRemaper::ReplaceProductIdByDataSource(const QxNodePtr& result) const
{
    CV_TRACE_METHOD(Dbg);
    std::vector<QxNodePtr> found;
    CollectPreOrder(result, [](const QxNodePtr& node) { return node.HasAttribute(kProductId); }, found);

    struct Kept {
        QxNodePtr node;
        std::optional<int64_t> count;
        bool absorbed = false;
    };
    std::vector<std::pair<QxNodePtr, GUID>> relabelled;
    std::vector<Kept> kept;
    std::vector<QxNodePtr> merged;
    // Nodes are equal when all attributes but "Count" match as text once relabelled; the key holds exactly those.
    std::map<std::map<std::string, std::string>, size_t> keptByValues;

    // Plan everything before changing anything, so a failing read leaves the result as it was.
    for (const QxNodePtr& node : found) {
        const auto product = node.GetRequiredAttribute<std::string>(kProductId);
        const auto dataSource = m_dataSourceByProduct.find(product);
        if (dataSource == m_dataSourceByProduct.end()) {
            CV_LOG(Err, "Invalid product Id: " << product);
            continue;
        }
        relabelled.emplace_back(node, dataSource->second);
        if (!m_sharedDataSources.count(dataSource->second)) continue;

        std::map<std::string, std::string> values;
        for (const std::string& name : node.GetAttributeNames()) {
            if (name == "Count" || name == kProductId || name == kDataSource) continue;
            values[name] = node.GetRequiredAttribute<std::string>(name);
        }
        values[std::string(kDataSource)] = GuidToText(dataSource->second);
        const auto [entry, isNew] = keptByValues.emplace(std::move(values), kept.size());
        if (isNew) {
            kept.push_back({node, std::nullopt});
            continue;
        }
        Kept& into = kept[entry->second];
        if (!into.count) into.count = into.node.GetRequiredAttribute<int64_t>("Count");
        *into.count += node.GetRequiredAttribute<int64_t>("Count");
        into.absorbed = true;
        merged.push_back(node);
    }

    for (const auto& [node, dataSource] : relabelled) {
        node.SetAttribute(kDataSource, dataSource);
        node.DeleteAttribute(kProductId);
    }
    for (const Kept& entry : kept) {
        if (entry.absorbed) entry.node.SetAttribute("Count", *entry.count);
    }
    for (const QxNodePtr& node : merged) {
        if (const QxNodePtr parent = node.GetParent()) parent.RemoveChild(node);
    }

    CV_LOG(Dbg2, "Replaced result node: " << result);
}

}  // namespace OverviewReportsProcessing
