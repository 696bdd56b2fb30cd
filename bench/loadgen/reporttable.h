#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

// The one table the bench prints: each figure for the service and for the reference
// responder, their ratio, and the goal the service's figure is held to.
class ReportTable
{
public:
    enum class Column { Service, Reference };

    struct Goal
    {
        enum class Kind { None, Below, AtLeast, RatioAtLeast };
        Kind kind = Kind::None;
        double value = 0;
    };

    // decimals: digits after the point when printing this row's values.
    int addRow(std::string label, int decimals)
    {
        return addRow(std::move(label), decimals, Goal{});
    }
    int addRow(std::string label, int decimals, Goal goal);
    void set(int row, Column column, double value);
    void note(std::string text) { m_notes.push_back(std::move(text)); }
    void print(std::FILE *out) const;

private:
    struct Row
    {
        std::string label;
        int decimals = 0;
        Goal goal;
        std::optional<double> service;
        std::optional<double> reference;
    };

    static std::string format(const std::optional<double> &value, int decimals);
    static std::string describe(const Goal &goal, int decimals);
    static std::optional<double> ratio(const Row &row);
    static std::string verdict(const Row &row);

    std::vector<Row> m_rows;
    std::vector<std::string> m_notes;
};
