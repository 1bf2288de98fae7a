#include "bench/shown_probe.h"

#include "bench/process_stats.h"

#include <QCoreApplication>
#include <QTimer>
#include <QWindow>
#include <cstdio>

namespace parlonda::bench {

ShownProbe::ShownProbe(QWindow *window) : m_window(window)
{
    if (!m_window)
        qFatal("ShownProbe: the window has no native window yet; show it first");
    // Some platforms expose the window inside show() already.
    if (m_window->isExposed())
        reportAfterPaint();
    else
        m_window->installEventFilter(this);
}

bool ShownProbe::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_window && event->type() == QEvent::Expose && m_window->isExposed())
        reportAfterPaint();
    return QObject::eventFilter(watched, event);
}

void ShownProbe::reportAfterPaint()
{
    if (m_reported)
        return;
    m_reported = true;
    m_window->removeEventFilter(this);
    // The filter sees the expose before the window does; widgets paint while
    // handling it, so the next turn of the event loop comes after the paint.
    QTimer::singleShot(0, this, [] {
        const qint64 now = clockNanoseconds(Clock::now());
        std::printf("shown %lld %lld\n", static_cast<long long>(now),
                    static_cast<long long>(peakResidentKib()));
        std::fflush(stdout);
        QCoreApplication::exit(0);
    });
}

} // namespace parlonda::bench
