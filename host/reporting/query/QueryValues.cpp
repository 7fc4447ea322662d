// Reading filter values into bound parameters (see QueryValues.h).
#include "host/reporting/query/QueryValues.h"

#include <chrono>
#include <cstdio>

#include "common/ErrorHandling/HRX.h"
#include "common/Helpers/PrimitiveText.h"

namespace cvn::reporting {

namespace {

bool ReadDigits(std::string_view text, size_t at, size_t count, int& out) noexcept
{
    out = 0;
    for (size_t i = at; i < at + count; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        out = out * 10 + (text[i] - '0');
    }
    return true;
}

SqlValue ConvertTime(const SqlValue& value, const std::string& column)
{
    if (const auto* text = std::get_if<std::string>(&value)) {
        const std::optional<int64_t> seconds = ParseTimeText(*text);
        if (!seconds)
            ThrowHrWithDescription(kHrInvalidData,
                                   "value '" + *text + "' of column '" + column + "' is not a time text");
        return *seconds;
    }
    return value;
}

}  // namespace

std::optional<int64_t> ParseTimeText(std::string_view text) noexcept
{
    const bool isoForm = text.size() == 20 && text[10] == 'T' && text[19] == 'Z';
    const bool queryForm = text.size() == 19 && text[10] == ' ';
    if (!isoForm && !queryForm) return std::nullopt;
    if (text[4] != '-' || text[7] != '-' || text[13] != ':' || text[16] != ':') return std::nullopt;
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (!ReadDigits(text, 0, 4, year) || !ReadDigits(text, 5, 2, month) || !ReadDigits(text, 8, 2, day) ||
        !ReadDigits(text, 11, 2, hour) || !ReadDigits(text, 14, 2, minute) || !ReadDigits(text, 17, 2, second))
        return std::nullopt;
    const std::chrono::year_month_day date{std::chrono::year(year), std::chrono::month(static_cast<unsigned>(month)),
                                           std::chrono::day(static_cast<unsigned>(day))};
    if (!date.ok() || hour > 23 || minute > 59 || second > 59) return std::nullopt;
    const int64_t days = std::chrono::sys_days(date).time_since_epoch().count();
    return days * 86400 + hour * 3600 + minute * 60 + second;
}

std::string FormatUtcTime(int64_t unixSeconds)
{
    const int64_t dayCount = unixSeconds >= 0 ? unixSeconds / 86400 : -((-unixSeconds + 86399) / 86400);
    const int64_t inDay = unixSeconds - dayCount * 86400;
    const std::chrono::year_month_day date{std::chrono::sys_days(std::chrono::days(dayCount))};
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()), static_cast<int>(inDay / 3600),
                  static_cast<int>(inDay / 60 % 60), static_cast<int>(inDay % 60));
    return text;
}

std::vector<SqlValue> ReadLeafValues(const QxNodePtr& leaf, const std::string& column, bool isTime, bool& isList)
{
    uint32_t type = 0;
    isList = !leaf.HasAttribute("Value", &type);
    const char* attribute = isList ? "Values" : "Value";
    if (isList && !leaf.HasAttribute("Values", &type))
        ThrowHrWithDescription(kHrInvalidData,
                               "condition on column '" + column + "' has neither \"Value\" nor \"Values\"");
    std::vector<SqlValue> values;
    switch (type) {
    case QXN_TYPE_STRING: values.emplace_back(leaf.GetRequiredAttribute<std::string>(attribute)); break;
    case QXN_TYPE_INT32:
    case QXN_TYPE_INT32_ALT:
    case QXN_TYPE_INT64: values.emplace_back(leaf.GetRequiredAttribute<int64_t>(attribute)); break;
    case QXN_TYPE_GUID: values.emplace_back(GuidToText(leaf.GetRequiredAttribute<GUID>(attribute))); break;
    case QXN_TYPE_STRING_LIST:
        for (std::string& item : leaf.GetRequiredAttribute<std::vector<std::string>>(attribute))
            values.emplace_back(std::move(item));
        break;
    case QXN_TYPE_INT32_ARRAY:
        for (int32_t item : leaf.GetRequiredAttribute<std::vector<int32_t>>(attribute)) values.emplace_back(int64_t{item});
        break;
    case QXN_TYPE_GUID_ARRAY:
        for (const GUID& item : leaf.GetRequiredAttribute<std::vector<GUID>>(attribute)) values.emplace_back(GuidToText(item));
        break;
    default: {
        char code[16];
        std::snprintf(code, sizeof code, "0x%X", type);
        ThrowHrWithDescription(kHrInvalidData, "\"" + std::string(attribute) + "\" of column '" + column +
                                                   "' has unsupported type " + code);
    }
    }
    if (!isList && (type & QXN_TYPE_ARRAY)) isList = true;
    if (isTime)
        for (SqlValue& value : values) value = ConvertTime(value, column);
    return values;
}

}  // namespace cvn::reporting
