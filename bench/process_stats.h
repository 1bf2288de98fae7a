#pragma once

#include <QList>
#include <QString>
#include <chrono>

namespace parlonda::bench {

// One clock for every timing, in this process and in its children: on Linux
// it is CLOCK_MONOTONIC, which all processes share, so a time stamped by a
// child can be subtracted from one taken by its parent.
using Clock = std::chrono::steady_clock;

// Nanoseconds on Clock, as a child prints them for its parent.
qint64 clockNanoseconds(Clock::time_point time);
Clock::time_point fromClockNanoseconds(qint64 nanoseconds);

// User plus system time of every thread of this process so far.
std::chrono::microseconds processCpuTime();

// Resident set size now, in KiB, read after malloc_trim(0): heap that was
// freed but kept by the allocator for reuse is handed back first, so that it
// does not read as growth.
qint64 residentKib();

// The highest resident set size of this process so far (VmHWM), in KiB.
qint64 peakResidentKib();

double median(QList<double> values);

} // namespace parlonda::bench
