#include "tests/support/test_files.h"

#include <QFile>

namespace parlonda::test {

QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

ReadOnlyFolder::ReadOnlyFolder(const QString &path) : m_path(path)
{
    m_made =
        QFile::setPermissions(m_path, QFile::ReadOwner | QFile::ExeOwner | QFile::ReadGroup |
                                          QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther);
}

ReadOnlyFolder::~ReadOnlyFolder()
{
    QFile::setPermissions(m_path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

} // namespace parlonda::test
