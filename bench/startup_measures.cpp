// Start-up and peak memory: the shipped program's start-up (registro_startup)
// against the same widgets built the plain way (plain_form) and a bare Qt
// window (minimal_window), each started afresh many times.

#include "bench/measures.h"
#include "bench/process_stats.h"

#include <QProcess>

namespace parlonda::bench {
namespace {

struct Shown
{
    double milliseconds = 0; // from just before the start to the window on screen
    double peakMib = 0;
};

// The parent stamps the clock right before starting the program, the program
// stamps the same system-wide clock when its window is on screen; the pipe's
// delay does not enter the figure.
Shown startOnce(const QString &program)
{
    QProcess process;
    const Clock::time_point started = Clock::now();
    process.start(program, {});
    // Its warnings, repeated at every start, are shown only when it fails.
    if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0)
        qFatal("%s did not show its window and end: %s\n%s", qUtf8Printable(program),
               qUtf8Printable(process.errorString()), process.readAllStandardError().constData());
    const QList<QByteArray> fields = process.readAllStandardOutput().trimmed().split(' ');
    if (fields.size() != 3 || fields[0] != "shown")
        qFatal("%s did not report its window", qUtf8Printable(program));
    const Clock::time_point shown = fromClockNanoseconds(fields[1].toLongLong());
    return {std::chrono::duration<double, std::milli>(shown - started).count(),
            fields[2].toDouble() / 1024.0};
}

} // namespace

StartUp measureStartUp(int warmUp, int runs)
{
    const QString programs[] = {QStringLiteral(PARLONDA_REGISTRO_STARTUP_PATH),
                                QStringLiteral(PARLONDA_PLAIN_FORM_PATH),
                                QStringLiteral(PARLONDA_MINIMAL_WINDOW_PATH)};
    // The first starts fill the page cache and the font cache.
    for (int i = 0; i < warmUp; ++i) {
        for (const QString &program : programs)
            startOnce(program);
    }

    QList<double> milliseconds[3], peakMib[3];
    for (int i = 0; i < runs; ++i) {
        // Taking turns, so that a slow spell of the machine hits every side.
        for (int p = 0; p < 3; ++p) {
            const Shown shown = startOnce(programs[p]);
            milliseconds[p].append(shown.milliseconds);
            peakMib[p].append(shown.peakMib);
        }
    }
    return {median(milliseconds[0]),
            median(milliseconds[1]),
            median(milliseconds[2]),
            median(peakMib[0]),
            median(peakMib[1]),
            median(peakMib[2]),
            runs};
}

} // namespace parlonda::bench
