#include "tests/server/regnick_process.h"

#include "tests/support/test_files.h"

#include <QDeadlineTimer>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/types.h>
#include <utility>

namespace parlonda::test {
namespace {

constexpr int kTimeoutMs = 10000;
constexpr QByteArrayView kReadyPrefix = "listening on ";

} // namespace

RegnickProcess::RegnickProcess(QString db, QStringList arguments, QString files)
    : m_db(std::move(db)), m_files(files.isEmpty() ? m_db : std::move(files)),
      m_arguments(std::move(arguments))
{
}

RegnickProcess::~RegnickProcess()
{
    if (m_process.state() != QProcess::NotRunning && !stop()) {
        m_process.kill();
        m_process.waitForFinished(kTimeoutMs);
    }
}

QString RegnickProcess::program()
{
    return QStringLiteral(PARLONDA_REGNICK_PATH);
}

bool RegnickProcess::begin()
{
    if (m_process.state() != QProcess::NotRunning)
        return false;
    m_baseUrl.clear();
    m_process.setProgram(program());
    m_process.setArguments(QStringList{QStringLiteral("--port"), QStringLiteral("0"),
                                       QStringLiteral("--db"), m_db, QStringLiteral("--log"),
                                       logPath()} +
                           m_arguments);
    m_process.setStandardErrorFile(m_files + QStringLiteral(".stderr"), QIODevice::Append);
    // A test that crashes must not leave its service running.
    m_process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
    m_process.start();
    return m_process.waitForStarted(kTimeoutMs);
}

bool RegnickProcess::waitUntilListening()
{
    const QDeadlineTimer deadline(kTimeoutMs);
    while (!m_process.canReadLine() && m_process.state() == QProcess::Running &&
           !deadline.hasExpired()) {
        m_process.waitForReadyRead(static_cast<int>(deadline.remainingTime()));
    }
    const QByteArray line = m_process.canReadLine() ? m_process.readLine().trimmed() : QByteArray();
    if (!line.startsWith(kReadyPrefix)) {
        m_process.kill();
        m_process.waitForFinished(kTimeoutMs);
        return false;
    }
    m_baseUrl = QString::fromLatin1(line.mid(kReadyPrefix.size()));
    return true;
}

bool RegnickProcess::stop(int signal)
{
    if (m_process.state() == QProcess::NotRunning)
        return false;
    ::kill(static_cast<pid_t>(m_process.processId()), signal);
    if (!m_process.waitForFinished(kTimeoutMs)) {
        m_process.kill();
        m_process.waitForFinished(kTimeoutMs);
        return false;
    }
    return m_process.exitStatus() == QProcess::NormalExit && m_process.exitCode() == 0;
}

quint16 RegnickProcess::port() const
{
    return static_cast<quint16>(m_baseUrl.mid(m_baseUrl.lastIndexOf(u':') + 1).toUInt());
}

QByteArray RegnickProcess::errors() const
{
    return fileBytes(m_files + QStringLiteral(".stderr"));
}

QByteArray RegnickProcess::log() const
{
    return fileBytes(logPath());
}

} // namespace parlonda::test
