// The program's own start-up, plus the probe that reports when the form is
// first on screen and then ends the program: the program itself has no hook
// for that (no command line, no environment).

#include "app/start_up.h"
#include "bench/shown_probe.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("parlonda-registro"));
    parlonda::StartUp startUp(QStringLiteral(PARLONDA_SERVER_URL));
    parlonda::bench::ShownProbe probe(startUp.form().windowHandle());
    QApplication::exec();
    return startUp.form().exitStatus();
}
