// The reference for start-up time and peak memory: a bare Qt window, shown
// and reported on exactly as registro_startup reports the form.

#include "bench/shown_probe.h"

#include <QApplication>
#include <QWidget>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QWidget window;
    window.show();
    parlonda::bench::ShownProbe probe(window.windowHandle());
    return QApplication::exec();
}
