#include "reporttable.h"

#include <cstdio>

int ReportTable::addRow(std::string label, int decimals, Goal goal)
{
    m_rows.push_back(Row{std::move(label), decimals, goal, {}, {}});
    return static_cast<int>(m_rows.size()) - 1;
}

void ReportTable::set(int row, Column column, double value)
{
    Row &r = m_rows[static_cast<size_t>(row)];
    (column == Column::Service ? r.service : r.reference) = value;
}

std::string ReportTable::format(const std::optional<double> &value, int decimals)
{
    if (!value)
        return "-";
    char text[64];
    std::snprintf(text, sizeof(text), "%.*f", decimals, *value);
    return text;
}

std::string ReportTable::describe(const Goal &goal, int decimals)
{
    switch (goal.kind) {
    case Goal::Kind::None:
        return "";
    case Goal::Kind::Below:
        return "< " + format(goal.value, decimals);
    case Goal::Kind::AtLeast:
        return ">= " + format(goal.value, decimals);
    case Goal::Kind::RatioAtLeast:
        return "ratio >= " + format(goal.value, 2);
    }
    return "";
}

std::optional<double> ReportTable::ratio(const Row &row)
{
    if (!row.service || !row.reference || *row.reference == 0)
        return std::nullopt;
    return *row.service / *row.reference;
}

std::string ReportTable::verdict(const Row &row)
{
    if (row.goal.kind == Goal::Kind::None)
        return "";
    if (!row.service)
        return "not measured";
    switch (row.goal.kind) {
    case Goal::Kind::Below:
        return *row.service < row.goal.value ? "met" : "MISSED";
    case Goal::Kind::AtLeast:
        return *row.service >= row.goal.value ? "met" : "MISSED";
    case Goal::Kind::RatioAtLeast: {
        const std::optional<double> r = ratio(row);
        if (!r)
            return "no reference";
        return *r >= row.goal.value ? "met" : "MISSED";
    }
    case Goal::Kind::None:
        break;
    }
    return "";
}

void ReportTable::print(std::FILE *out) const
{
    std::fprintf(out, "%-64s %12s %12s %8s  %-14s %s\n", "figure", "service", "reference", "ratio",
                 "goal", "");
    std::fprintf(out, "%s\n", std::string(122, '-').c_str());
    for (const Row &row : m_rows) {
        std::fprintf(out, "%-64s %12s %12s %8s  %-14s %s\n", row.label.c_str(),
                     format(row.service, row.decimals).c_str(),
                     format(row.reference, row.decimals).c_str(), format(ratio(row), 2).c_str(),
                     describe(row.goal, row.decimals).c_str(), verdict(row).c_str());
    }
    if (m_notes.empty())
        return;
    std::fprintf(out, "\n");
    for (const std::string &text : m_notes)
        std::fprintf(out, "- %s\n", text.c_str());
}
