#pragma once

#include "bench/measures.h"

#include <QString>

namespace parlonda::bench {

struct Results
{
    StartUp startUp;
    CpuWhileWaiting cpu;
    std::chrono::milliseconds serverDelay{};
    PressToOutcome pressToOutcome;
    RssGrowth growth;
};

// The table (Markdown, ready for the README), how the figures were taken,
// the machine and the command.
QString reportText(const Results &results);

} // namespace parlonda::bench
