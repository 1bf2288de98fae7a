#pragma once

#include <QByteArray>
#include <QString>

namespace parlonda::test {

// The bytes of a file; empty when it cannot be read.
QByteArray fileBytes(const QString &path);

// Takes the write permission away from a folder (r-x for everyone) while it
// lives, then gives its owner full rights back, so that QTemporaryDir can
// remove it. Root writes there anyway unless it drops CAP_DAC_OVERRIDE.
class ReadOnlyFolder
{
public:
    explicit ReadOnlyFolder(const QString &path);
    ~ReadOnlyFolder();
    ReadOnlyFolder(const ReadOnlyFolder &) = delete;
    ReadOnlyFolder &operator=(const ReadOnlyFolder &) = delete;

    // Whether the permissions could be changed.
    bool made() const { return m_made; }

private:
    QString m_path;
    bool m_made = false;
};

} // namespace parlonda::test
