#pragma once

#include <QObject>

class QWindow;

namespace parlonda::bench {

// Watches a window that has just been shown. Once it is exposed and its first
// paint is done, prints one line on stdout,
//     shown <Clock nanoseconds> <peak resident set KiB>
// and ends the event loop: the parent measuring start-up reads that line.
class ShownProbe : public QObject
{
public:
    explicit ShownProbe(QWindow *window);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void reportAfterPaint();

    QWindow *m_window;
    bool m_reported = false;
};

} // namespace parlonda::bench
