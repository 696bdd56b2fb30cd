#include "metrics/processmetrics.h"

#include "metrics/metricsregistry.h"

#include <QByteArrayList>
#include <QFile>

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cmath>

namespace {
QByteArray readProcFile(const char *path)
{
    QFile file(QString::fromLatin1(path));
    // /proc files report size 0: read to the end.
    return file.open(QIODevice::ReadOnly | QIODevice::Unbuffered) ? file.readAll() : QByteArray();
}

// The boot time in seconds since the epoch ("btime" of /proc/stat).
std::optional<double> bootTime()
{
    for (const QByteArray &line : readProcFile("/proc/stat").split('\n'))
        if (line.startsWith("btime "))
            return line.mid(6).trimmed().toDouble();
    return std::nullopt;
}
} // namespace

QByteArrayList ProcessMetrics::statFields(const QByteArray &line)
{
    const qsizetype end = line.lastIndexOf(')');
    if (end < 0)
        return {};
    return line.mid(end + 1).simplified().split(' ');
}

std::optional<ProcessMetrics::Stat> ProcessMetrics::readStat()
{
    // Field numbers of proc(5), from 1; the list starts at field 3.
    const QByteArrayList fields = statFields(readProcFile("/proc/self/stat"));
    const auto field = [&fields](int number) { return fields.value(number - 3).toDouble(); };
    const std::optional<double> boot = bootTime();
    if (fields.size() < 24 - 2 || !boot)
        return std::nullopt;
    const double ticks = double(sysconf(_SC_CLK_TCK));
    Stat stat;
    stat.cpuSeconds = (field(14) + field(15)) / ticks; // utime + stime
    stat.startTimeSeconds = *boot + field(22) / ticks;
    stat.virtualBytes = field(23);
    stat.residentBytes = field(24) * double(sysconf(_SC_PAGESIZE));
    return stat;
}

std::optional<double> ProcessMetrics::openDescriptors()
{
    DIR *dir = opendir("/proc/self/fd");
    if (!dir)
        return std::nullopt;
    double count = 0;
    while (const dirent *entry = readdir(dir))
        if (entry->d_name[0] != '.')
            ++count;
    closedir(dir);
    return count - 1; // the listing's own descriptor
}

double ProcessMetrics::maxDescriptors()
{
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    return limit.rlim_cur == RLIM_INFINITY ? INFINITY : double(limit.rlim_cur);
}

bool ProcessMetrics::registerIn(MetricsRegistry &registry)
{
    // A value that cannot be read is shown as NaN: a scrape with the series missing would look
    // like a process without it.
    const auto fromStat = [](double Stat::*member) {
        return [member] {
            const std::optional<Stat> stat = readStat();
            return stat ? (*stat).*member : NAN;
        };
    };
    auto *cpu = registry.callbackCounter("process_cpu_seconds_total",
                                         "Total user and system CPU time spent in seconds.");
    auto *resident =
        registry.callbackGauge("process_resident_memory_bytes", "Resident memory size in bytes.");
    auto *virtualMemory =
        registry.callbackGauge("process_virtual_memory_bytes", "Virtual memory size in bytes.");
    auto *start = registry.callbackGauge("process_start_time_seconds",
                                         "Start time of the process since unix epoch in seconds.");
    auto *open = registry.callbackGauge("process_open_fds", "Number of open file descriptors.");
    auto *max =
        registry.callbackGauge("process_max_fds", "Maximum number of open file descriptors.");
    if (!cpu || !resident || !virtualMemory || !start || !open || !max)
        return false;
    cpu->add().setSource(fromStat(&Stat::cpuSeconds));
    resident->add().setSource(fromStat(&Stat::residentBytes));
    virtualMemory->add().setSource(fromStat(&Stat::virtualBytes));
    // Fixed for the process's life: read once.
    const std::optional<Stat> now = readStat();
    start->add().setSource([at = now ? now->startTimeSeconds : NAN] { return at; });
    open->add().setSource([] { return openDescriptors().value_or(NAN); });
    max->add().setSource(&ProcessMetrics::maxDescriptors);
    return true;
}
