#pragma once

#include <QString>
#include <chrono>

namespace parlonda::bench {

// Every figure comes with its reference, measured in the same run.

struct CpuWhileWaiting
{
    double formPercent = 0; // median, % of one core
    double spinningPercent = 0;
    int formRuns = 0;
    int spinningRuns = 0;
};
// The form waiting for `slowServer`'s late answer, against the same wait
// done by a loop that hands over to the event loop without blocking.
CpuWhileWaiting measureCpuWhileWaiting(const QString &slowServer, int formRuns, int spinningRuns);

struct PressToOutcome
{
    double formMs = 0; // median
    double referenceMs = 0;
    int runs = 0;
};
// From the press of "&Registrar" to the outcome message on screen, against
// the same POST with a bare QNetworkAccessManager; the server answers at once.
PressToOutcome measurePressToOutcome(const QString &server, int warmUp, int runs);

struct RssGrowth
{
    double formKib = 0;
    double referenceKib = 0;
    int attempts = 0;
    int warmUp = 0;
};
// Resident set growth over `attempts` nick-taken registrations in this
// process after `warmUp` of them, against as many bare POSTs.
RssGrowth measureRssGrowth(const QString &server, int warmUp, int attempts);

struct StartUp
{
    double formMs = 0; // median, process start to window on screen
    double plainMs = 0;
    double minimalMs = 0;
    double formPeakMib = 0; // median VmHWM when the window was on screen
    double plainPeakMib = 0;
    double minimalPeakMib = 0;
    int runs = 0;
};
// The shipped program's start-up against the same widgets built the plain
// way, and against a bare Qt window program.
StartUp measureStartUp(int warmUp, int runs);

} // namespace parlonda::bench
