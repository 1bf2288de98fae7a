// Writes the program's icon as the files a desktop looks for, at build time:
// <dir>/16x16/apps/parlonda-registro.png, <dir>/32x32/apps/... and
// <dir>/scalable/apps/parlonda-registro.svg, all from the drawings the window
// shows. The SVG traces the 32-pixel drawing square by square, so it stays
// sharp at any size.
#include "form/parlonda_icon.h"

#include <QDir>
#include <QFile>
#include <QTextStream>
#include <cstdio>

namespace {

bool writePng(const QString &dir, int size)
{
    const QString folder = QStringLiteral("%1/%2x%2/apps").arg(dir).arg(size);
    return QDir().mkpath(folder) &&
           parlonda::parlondaIconImage(size).save(folder + QStringLiteral("/parlonda-registro.png"));
}

bool writeSvg(const QString &dir)
{
    const QImage image =
        parlonda::parlondaIconImage(32).convertToFormat(QImage::Format_ARGB32);
    const QString folder = dir + QStringLiteral("/scalable/apps");
    QFile file(folder + QStringLiteral("/parlonda-registro.svg"));
    if (!QDir().mkpath(folder) || !file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    QTextStream svg(&file);
    svg << "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 " << image.width() << ' '
        << image.height() << "\" shape-rendering=\"crispEdges\">\n";
    // One rectangle per run of equal pixels in a row.
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width();) {
            const QRgb colour = image.pixel(x, y);
            int end = x + 1;
            while (end < image.width() && image.pixel(end, y) == colour)
                ++end;
            if (qAlpha(colour) != 0) {
                svg << "<rect x=\"" << x << "\" y=\"" << y << "\" width=\"" << end - x
                    << "\" height=\"1\" fill=\"" << QColor(colour).name() << "\"/>\n";
            }
            x = end;
        }
    }
    svg << "</svg>\n";
    svg.flush();
    return file.error() == QFile::NoError;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT_DIR\n", argv[0]);
        return 2;
    }
    const QString dir = QFile::decodeName(argv[1]);
    if (!writePng(dir, 16) || !writePng(dir, 32) || !writeSvg(dir)) {
        std::fprintf(stderr, "%s: cannot write the icon files into %s\n", argv[0], argv[1]);
        return 1;
    }
    return 0;
}
