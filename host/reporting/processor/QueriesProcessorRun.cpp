// Running a translated query and building its rows.
#include "host/reporting/processor/QueriesProcessorRun.h"

#include <cstdio>

#include "common/ErrorHandling/ErrorObjects.h"
#include "common/ErrorHandling/ResultNodes.h"
#include "host/reporting/processor/QueriesProcessorErrors.h"

namespace cvn::reporting {

namespace {

void SetCell(const QxNodePtr& row, const std::string& name, const SqlValue& value)
{
    if (const auto* number = std::get_if<int64_t>(&value)) {
        row.SetAttribute(name, *number);
    } else if (const auto* text = std::get_if<std::string>(&value)) {
        row.SetAttribute(name, *text);
    } else if (const auto* real = std::get_if<double>(&value)) {
        char buffer[32];
        std::snprintf(buffer, sizeof buffer, "%.17g", *real);
        row.SetAttribute(name, buffer);
    } else {
        row.SetAttribute(name, "");
    }
}

int64_t CountOf(const SqlValue& value)
{
    if (const auto* number = std::get_if<int64_t>(&value)) return *number;
    if (const auto* real = std::get_if<double>(&value)) return static_cast<int64_t>(*real);
    if (std::holds_alternative<std::monostate>(value)) return 0;
    ThrowHrWithDescription(kHrInvalidData, "the query's Count column holds text, not a number");
}

}  // namespace

QxNodePtr RunTranslatedQuery(IConnection& connection, const TranslatedQuery& query, int64_t maxRows)
{
    const std::unique_ptr<IStatement> statement = connection.Prepare(query.sql);
    for (size_t i = 0; i < query.parameters.size(); ++i) statement->Bind(i + 1, query.parameters[i]);

    const size_t columns = statement->ColumnCount();
    if (columns == 0 || columns != query.rowAttributes.size())
        ThrowHrWithDescription(kHrInvalidData, "the statement gives " + std::to_string(columns) +
                                                   " columns but the translation names " +
                                                   std::to_string(query.rowAttributes.size()));
    // Counting templates end in "Count"; templates that return rows (the presence query) do not.
    const bool counted = query.rowAttributes.back() == "Count";
    const size_t cells = counted ? columns - 1 : columns;

    const QxNodePtr result = QxNodePtr::Create("Result", "QueryResult");
    int64_t rows = 0;
    while ((query.rowLimit < 0 || rows < query.rowLimit) && statement->Next()) {
        if (rows == maxRows)
            ThrowReportingError(kHrQueryRowLimit, "the result has more than " + std::to_string(maxRows) +
                                                      " rows (MaxRows " + std::to_string(maxRows) + ")");
        const QxNodePtr row = QxNodePtr::Create("Row", "Row");
        for (size_t c = 0; c < cells; ++c) SetCell(row, query.rowAttributes[c], statement->Column(c));
        if (counted) row.SetAttribute("Count", CountOf(statement->Column(cells)));
        result.AddChild(row);
        ++rows;
    }
    result.SetAttribute("Status", int32_t{0});
    result.SetAttribute("RowCount", rows);
    return result;
}

QxNodePtr ErrorAnswer(const HRX& error)
{
    const QxNodePtr answer = QxNodePtr::Create("Result", "QueryResult");
    answer.SetAttribute("Status", int32_t{2});
    WriteResultToNode(answer, error, kErrorResultAttributes);
    return answer;
}

}  // namespace cvn::reporting
