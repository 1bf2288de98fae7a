#pragma once

#include <QByteArray>
#include <QLatin1StringView>
#include <QString>
#include <QStringList>

namespace parlonda {

inline constexpr QLatin1StringView kProfileFileName{"Parlonda.ini"};

// Full path of the profile in the given directory (the program's own
// directory in the shipped program).
QString profilePath(const QString &directory);

// The whole file: boxes 0 to 5, each followed by ":", then CR LF, in
// Windows-1252. The password boxes (6 and 7) are never written; missing boxes
// count as empty.
QByteArray profileLine(const QStringList &boxes);

// Replaces <directory>/Parlonda.ini in one step. On failure the previous file
// is left exactly as it was, and *error (if given) names the file and the
// reason.
bool writeProfile(const QString &directory, const QStringList &boxes, QString *error);

struct SavedProfile
{
    bool saved = false;
    QString path;  // where the profile was written; on failure the last path tried
    QString error; // on failure, every path tried and why it failed, one a line
};

// Writes the profile into the first of `directories` that takes it, creating
// a missing directory: the program's own directory first, then a directory
// of the user's, for a copy installed where its user may not write.
SavedProfile saveProfile(const QStringList &directories, const QStringList &boxes);

} // namespace parlonda
