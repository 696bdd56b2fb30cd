#pragma once

#include <QByteArray>
#include <QByteArrayList>

#include <optional>

class MetricsRegistry;

// The standard process_* figures every Prometheus client exports, read from /proc/self at each
// scrape: CPU seconds, resident and virtual memory, open and allowed descriptors, start time.
class ProcessMetrics
{
public:
    // Registers the families; false if one was refused (a name already taken).
    static bool registerIn(MetricsRegistry &registry);

    // What /proc/self/stat says, in base units; none where it cannot be read.
    struct Stat
    {
        double cpuSeconds = 0;
        double virtualBytes = 0;
        double residentBytes = 0;
        double startTimeSeconds = 0; // since the epoch
    };
    static std::optional<Stat> readStat();
    // Entries of /proc/self/fd, the reading itself not counted.
    static std::optional<double> openDescriptors();
    static double maxDescriptors();

    // The fields of a /proc/<pid>/stat line from the state on (field 3 first); the command
    // name before it may hold blanks and parentheses.
    static QByteArrayList statFields(const QByteArray &line);
};
