#include "bench/process_stats.h"

#include <QFile>
#include <algorithm>
#include <malloc.h>
#include <sys/resource.h>

namespace parlonda::bench {
namespace {

// A "Name:   1234 kB" line of /proc/self/status; -1 when it is missing.
qint64 statusKib(QByteArrayView name)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    // /proc files report a size of 0, so atEnd() holds from the start: read
    // until a read comes back empty.
    for (QByteArray line = status.readLine(); !line.isEmpty(); line = status.readLine()) {
        if (line.startsWith(name) && line.size() > name.size() && line[name.size()] == ':')
            return line.mid(name.size() + 1).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

std::chrono::microseconds toMicroseconds(const timeval &time)
{
    return std::chrono::seconds(time.tv_sec) + std::chrono::microseconds(time.tv_usec);
}

} // namespace

qint64 clockNanoseconds(Clock::time_point time)
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(time.time_since_epoch()).count();
}

Clock::time_point fromClockNanoseconds(qint64 nanoseconds)
{
    return Clock::time_point(
        std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(nanoseconds)));
}

std::chrono::microseconds processCpuTime()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return toMicroseconds(usage.ru_utime) + toMicroseconds(usage.ru_stime);
}

qint64 residentKib()
{
    malloc_trim(0);
    return statusKib("VmRSS");
}

qint64 peakResidentKib()
{
    return statusKib("VmHWM");
}

double median(QList<double> values)
{
    if (values.isEmpty())
        return 0.0;
    std::sort(values.begin(), values.end());
    const qsizetype middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2.0;
}

} // namespace parlonda::bench
