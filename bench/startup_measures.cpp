// Start-up and peak memory: the shipped program's start-up (registro_startup)
// against a bare Qt window (minimal_window), each started afresh many times.

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
    const QString registro = QStringLiteral(PARLONDA_REGISTRO_STARTUP_PATH);
    const QString minimal = QStringLiteral(PARLONDA_MINIMAL_WINDOW_PATH);
    // The first starts fill the page cache and the font cache.
    for (int i = 0; i < warmUp; ++i) {
        startOnce(registro);
        startOnce(minimal);
    }

    QList<double> registroMs, minimalMs, registroMib, minimalMib;
    for (int i = 0; i < runs; ++i) {
        // Alternating, so that a slow spell of the machine hits both sides.
        const Shown form = startOnce(registro);
        const Shown bare = startOnce(minimal);
        registroMs.append(form.milliseconds);
        registroMib.append(form.peakMib);
        minimalMs.append(bare.milliseconds);
        minimalMib.append(bare.peakMib);
    }
    return {median(registroMs), median(minimalMs), median(registroMib), median(minimalMib), runs};
}

} // namespace parlonda::bench
