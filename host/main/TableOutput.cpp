// Aligned tables of result rows.
#include "host/main/TableOutput.h"

#include <algorithm>
#include <cstdio>

#include "common/Helpers/PrimitiveText.h"
#include "host/main/HostError.h"
#include "host/main/RequestRunner.h"

namespace cvn::hostmain {

namespace {

std::string CellText(const QxNodePtr& row, const std::string& attribute)
{
    uint32_t type = 0;
    if (!row.HasAttribute(attribute, &type)) return "";
    int64_t number = 0;
    std::string text;
    if (row.GetAttribute(attribute, text)) return text;
    if (row.GetAttribute(attribute, number)) return std::to_string(number);
    return "?";
}

}  // namespace

std::string MethodName(const QxNodePtr& subResponse)
{
    const QxNodePtr info = subResponse.GetChild("MetaInfo", false);
    const int32_t method = info ? info.GetAttributeOr<int32_t>("RetrieveMethod", 0) : 0;
    return method == 1 ? "fast" : method == 2 ? "standard" : "method ?";
}

std::vector<QxNodePtr> RowsByCount(const QxNodePtr& subResponse)
{
    const QxNodePtr counters = subResponse.GetChild("Counters", false);
    if (!counters) return {};
    std::vector<std::pair<int64_t, QxNodePtr>> rows;
    for (const QxNodePtr& row : counters.GetChildren()) rows.emplace_back(row.GetAttributeOr<int64_t>("Count", 0), row);
    std::stable_sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    std::vector<QxNodePtr> result;
    for (auto& entry : rows) result.push_back(std::move(entry.second));
    return result;
}

void PrintSubResponse(std::ostream& out, const QxNodePtr& subResponse, double seconds, size_t top)
{
    const int32_t status = RetrieveStatusOf(subResponse);
    char timing[32];
    std::snprintf(timing, sizeof timing, "%.0f ms", seconds * 1000.0);
    out << "== " << subResponse.GetName() << "  [" << MethodName(subResponse) << ", " << timing << "]";
    if (status == 2) {
        out << "  FAILED " << HrToText(ResultCodeOf(subResponse)) << "\n   "
            << subResponse.GetAttributeOr("ErrorSerialized", "(no error text)") << "\n\n";
        return;
    }
    if (status != 1) {
        out << "  no result\n\n";
        return;
    }
    const std::vector<QxNodePtr> rows = RowsByCount(subResponse);
    out << "  " << rows.size() << " row" << (rows.size() == 1 ? "" : "s") << "\n";
    if (rows.empty()) {
        out << "   (no changes match)\n\n";
        return;
    }
    std::vector<std::string> columns;
    for (const std::string& name : rows.front().GetAttributeNames())
        if (name != "Count") columns.push_back(name);
    columns.push_back("Count");
    const size_t shown = std::min(top, rows.size());
    std::vector<size_t> widths;
    for (const std::string& column : columns) widths.push_back(column.size());
    std::vector<std::vector<std::string>> cells(shown);
    for (size_t r = 0; r < shown; ++r)
        for (size_t c = 0; c < columns.size(); ++c) {
            std::string text = CellText(rows[r], columns[c]);
            if (text.size() > 60) text = text.substr(0, 57) + "...";
            widths[c] = std::max(widths[c], text.size());
            cells[r].push_back(std::move(text));
        }
    const auto line = [&](const std::vector<std::string>& values) {
        out << "   ";
        for (size_t c = 0; c < values.size(); ++c) {
            const bool number = c + 1 == values.size();
            const std::string pad(widths[c] - values[c].size(), ' ');
            out << (c ? "  " : "") << (number ? pad + values[c] : values[c] + pad);
        }
        out << "\n";
    };
    line(columns);
    std::vector<std::string> rule;
    for (size_t width : widths) rule.emplace_back(width, '-');
    line(rule);
    for (const auto& row : cells) line(row);
    if (rows.size() > shown) out << "   ... " << rows.size() - shown << " more\n";
    out << "\n";
}

}  // namespace cvn::hostmain
