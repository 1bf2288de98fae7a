// Prints the benchmark table: ./benchmark builds this and runs it offscreen.
// Progress goes to stderr, the table to stdout.

#include "bench/measures.h"
#include "bench/report.h"
#include "bench/server_process.h"
#include "form/spanish_texts.h"

#include <QApplication>
#include <QTimer>
#include <QTranslator>
#include <cstdio>
#include <cstring>

using namespace parlonda::bench;
using namespace std::chrono_literals;

namespace {

QtMessageHandler defaultMessageHandler = nullptr;

// The offscreen platform warns at every message box that it cannot pass on
// size hints; hundreds of those lines would bury the progress and the errors.
void dropOffscreenNoise(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtWarningMsg &&
        message == QLatin1StringView("This plugin does not support propagateSizeHints()"))
        return;
    defaultMessageHandler(type, context, message);
}

void progress(const char *step)
{
    std::fprintf(stderr, "bench: %s\n", step);
}

Results measureAll()
{
    Results results;
    progress("start-up and peak memory...");
    results.startUp = measureStartUp(3, 30);

    results.serverDelay = 3s;
    {
        progress("CPU while waiting (about 25 s)...");
        const ServerProcess slow(results.serverDelay);
        results.cpu = measureCpuWhileWaiting(slow.baseUrl(), 5, 3);
    }

    const ServerProcess prompt(0ms);
    progress("press to message...");
    results.pressToOutcome = measurePressToOutcome(prompt.baseUrl(), 20, 200);
    progress("memory growth...");
    results.growth = measureRssGrowth(prompt.baseUrl(), 50, 500);
    return results;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc > 1 && std::strcmp(argv[1], "--serve") == 0)
        return serveUntilInputCloses(argc, argv);

    defaultMessageHandler = qInstallMessageHandler(dropOffscreenNoise);
    QApplication app(argc, argv);
    // The form as the program runs it: with Qt's own texts in Spanish.
    QTranslator qtTexts;
    if (!parlonda::installSpanishTexts(qtTexts))
        qWarning("Qt's Spanish texts are not installed; the figures may differ from the program's");

    // Measured from inside the event loop, as the program runs the form.
    QTimer::singleShot(0, [] {
        const QString report = reportText(measureAll());
        std::fputs(report.toUtf8().constData(), stdout);
        QCoreApplication::exit(0);
    });
    return QApplication::exec();
}
