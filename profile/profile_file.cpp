#include "profile/profile_file.h"

#include "common/cp1252.h"

#include <QDir>
#include <QSaveFile>
#include <cerrno>

namespace parlonda {
namespace {

constexpr qsizetype kWrittenBoxes = 6;

bool fail(QString *error, const QString &path, const QString &what, const QString &reason)
{
    if (error)
        *error = QStringLiteral("%1 %2: %3").arg(what, QDir::toNativeSeparators(path), reason);
    return false;
}

} // namespace

QString profilePath(const QString &directory)
{
    return QDir(directory).filePath(kProfileFileName);
}

QByteArray profileLine(const QStringList &boxes)
{
    QString line;
    for (qsizetype i = 0; i < kWrittenBoxes; ++i) {
        line += boxes.value(i);
        line += QLatin1Char(':');
    }
    line += QLatin1StringView("\r\n");
    return cp1252::encode(line);
}

bool writeProfile(const QString &directory, const QStringList &boxes, QString *error)
{
    const QString path = profilePath(directory);
    // QSaveFile writes a temporary file and renames it over the old one. Its
    // direct-write fallback stays off: where no temporary file can be made it
    // would truncate the old profile in place, and a failure halfway would
    // then lose it.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return fail(error, path, QStringLiteral("Cannot create"), file.errorString());

    const QByteArray line = profileLine(boxes);
    // Flushed here because commit() ignores a failed final flush and renames
    // the short file over the old one (QTBUG-75077, still so in Qt 6.4).
    errno = 0;
    if (file.write(line) != line.size() || !file.flush()) {
        // A write that stops partway (disk full, size limit) leaves Qt with no
        // reason to give beyond "Unknown error"; the failed call left it in errno.
        const int code = errno;
        const QString reason = code != 0 ? qt_error_string(code) : file.errorString();
        file.cancelWriting();
        return fail(error, path, QStringLiteral("Cannot write"), reason);
    }
    if (!file.commit())
        return fail(error, path, QStringLiteral("Cannot save"), file.errorString());
    return true;
}

SavedProfile saveProfile(const QStringList &directories, const QStringList &boxes)
{
    SavedProfile result;
    QStringList errors;
    for (const QString &directory : directories) {
        result.path = profilePath(directory);
        if (!QDir().mkpath(directory)) {
            errors.append(QStringLiteral("Cannot create the directory %1")
                              .arg(QDir::toNativeSeparators(directory)));
            continue;
        }
        QString error;
        if (writeProfile(directory, boxes, &error)) {
            result.saved = true;
            return result;
        }
        errors.append(error);
    }
    result.error = errors.join(u'\n');
    return result;
}

} // namespace parlonda
