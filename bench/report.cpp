#include "bench/report.h"

#include "bench/report_table.h"

#include <QtGlobal>

namespace parlonda::bench {
namespace {

// The targets. A missed one is reported with its margin, never moved.
constexpr double kCpuTargetPercent = 1.0;    // of one core, while waiting
constexpr double kLatencyTargetMs = 2.0;     // over the bare POST
constexpr double kStartUpTargetRatio = 1.10; // of the plain form's start-up
constexpr double kGrowthTargetKib = 1024.0;  // over the measured attempts

QList<Row> rows(const Results &r)
{
    QList<Row> rows;

    const StartUp &s = r.startUp;
    const double startUpRatio = s.formMs / s.plainMs;
    rows.append(
        {QStringLiteral("Start-up: process start to window on screen, against the plain form "
                        "(median of %1)")
             .arg(s.runs),
         number(s.formMs, 1) + QStringLiteral(" ms"), number(s.plainMs, 1) + QStringLiteral(" ms"),
         number(startUpRatio, 2) + QStringLiteral("×"),
         QStringLiteral("≤ %1×").arg(number(kStartUpTargetRatio, 2)),
         metOrMissedBy(startUpRatio <= kStartUpTargetRatio,
                       number((startUpRatio / kStartUpTargetRatio - 1.0) * 100.0, 1) +
                           QStringLiteral(" % (") +
                           number(s.formMs - kStartUpTargetRatio * s.plainMs, 1) +
                           QStringLiteral(" ms)"))});
    rows.append({QStringLiteral("Start-up, against an empty window (same runs)"),
                 number(s.formMs, 1) + QStringLiteral(" ms"),
                 number(s.minimalMs, 1) + QStringLiteral(" ms"),
                 number(s.formMs / s.minimalMs, 2) + QStringLiteral("×"),
                 QStringLiteral("none set"), QStringLiteral("–")});
    rows.append(
        {QStringLiteral("Peak RSS (VmHWM) with the window on screen, against the plain form "
                        "(median of %1)")
             .arg(s.runs),
         number(s.formPeakMib, 1) + QStringLiteral(" MiB"),
         number(s.plainPeakMib, 1) + QStringLiteral(" MiB"),
         number(s.formPeakMib / s.plainPeakMib, 2) + QStringLiteral("×"),
         QStringLiteral("none set"), QStringLiteral("–")});

    const CpuWhileWaiting &c = r.cpu;
    rows.append(
        {QStringLiteral("CPU while waiting %1 s for the answer, % of one core "
                        "(median of %2; reference: %3)")
             .arg(number(std::chrono::duration<double>(r.serverDelay).count(), 0))
             .arg(c.formRuns)
             .arg(c.spinningRuns),
         number(c.formPercent, 2) + QStringLiteral(" %"),
         number(c.spinningPercent, 1) + QStringLiteral(" %"),
         number(c.formPercent / c.spinningPercent, 4) + QStringLiteral("×"),
         QStringLiteral("< %1 %").arg(number(kCpuTargetPercent, 0)),
         metOrMissedBy(c.formPercent < kCpuTargetPercent,
                       number(c.formPercent - kCpuTargetPercent, 2) + QStringLiteral(" points"))});

    const PressToOutcome &p = r.pressToOutcome;
    const double difference = p.formMs - p.referenceMs;
    rows.append({QStringLiteral("Press of \"&Registrar\" to the message on screen, server "
                                "answering at once (median of %1)")
                     .arg(p.runs),
                 number(p.formMs, 2) + QStringLiteral(" ms"),
                 number(p.referenceMs, 2) + QStringLiteral(" ms"),
                 signedNumber(difference, 2) + QStringLiteral(" ms"),
                 QStringLiteral("≤ +%1 ms").arg(number(kLatencyTargetMs, 0)),
                 metOrMissedBy(difference <= kLatencyTargetMs,
                               number(difference - kLatencyTargetMs, 2) + QStringLiteral(" ms"))});

    const RssGrowth &g = r.growth;
    rows.append({QStringLiteral("RSS growth over %1 nick-taken attempts after %2 "
                                "(one run each)")
                     .arg(g.attempts)
                     .arg(g.warmUp),
                 number(g.formKib, 0) + QStringLiteral(" KiB"),
                 number(g.referenceKib, 0) + QStringLiteral(" KiB"),
                 signedNumber(g.formKib - g.referenceKib, 0) + QStringLiteral(" KiB"),
                 QStringLiteral("< 1 MiB"),
                 metOrMissedBy(g.formKib < kGrowthTargetKib,
                               number(g.formKib - kGrowthTargetKib, 0) + QStringLiteral(" KiB"))});
    return rows;
}

} // namespace

QString reportText(const Results &results)
{
    QString text = tableText(QStringLiteral("measure"), QStringLiteral("Parlonda"), rows(results));
    text += QStringLiteral(
        "\nReferences, measured in the same run: start-up and peak RSS, `bench/plain_form` (the "
        "same eighteen widgets at the same places built the plain way: labels, the required "
        "ones bold, line edits, two buttons; no typing filters, network, icon or Spanish texts "
        "for Qt, Qt's default font), and `bench/minimal_window` (a bare QApplication and an "
        "empty QWidget), both shown and reported on like the form; CPU, the "
        "same request through the same transfer, waited for by a loop that calls "
        "`processEvents()` without blocking; press to message, the same POST with a bare "
        "QNetworkAccessManager, timed to its `finished()`; growth, as many bare POSTs.\n\n"
        "How: start-up is timed from just before the parent starts the program to the first "
        "turn of the event loop after the window's first expose (and paint), both stamped on "
        "CLOCK_MONOTONIC; the peak RSS is VmHWM at that moment. The server is the test HTTP "
        "server in a child process, so its CPU and memory are not counted; the client's CPU is "
        "getrusage(RUSAGE_SELF) over the wait, all its threads included. The message counts as "
        "on screen at the QMessageBox's Show event. RSS is VmRSS, read after malloc_trim(0) so "
        "that freed heap the allocator keeps does not read as growth.\n\n");

    text += machineDateAndCommand(
        QStringLiteral("Qt %1, QT_QPA_PLATFORM=%2")
            .arg(QString::fromLatin1(qVersion()),
                 qEnvironmentVariable("QT_QPA_PLATFORM", QStringLiteral("(default)"))));
    return text;
}

} // namespace parlonda::bench
