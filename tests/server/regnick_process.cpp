#include "tests/server/regnick_process.h"

#include "tests/support/test_files.h"

#include <QDeadlineTimer>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <algorithm>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <unistd.h>
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
    QStringList arguments = {QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--db"),
                             m_db};
    if (m_standardError < 0)
        arguments << QStringLiteral("--log") << logPath();
    arguments += m_arguments;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const QString &variable : m_environment)
        environment.insert(variable.section(u'=', 0, 0), variable.section(u'=', 1));
    if (m_sockets.empty()) {
        m_process.setProgram(program());
    } else {
        // LISTEN_PID must be the service's own process id, known only in
        // the child: a shell sets it and becomes the service.
        environment.insert(QStringLiteral("LISTEN_FDS"), QString::number(m_sockets.size()));
        m_process.setProgram(QStringLiteral("/bin/sh"));
        arguments =
            QStringList{QStringLiteral("-c"),
                        QStringLiteral("export LISTEN_PID=$$; exec \"$0\" \"$@\""), program()} +
            arguments;
    }
    m_process.setArguments(arguments);
    m_process.setProcessEnvironment(environment);
    m_process.setStandardErrorFile(m_standardError < 0
                                       ? m_files + QStringLiteral(".stderr")
                                       : QStringLiteral("/proc/self/fd/%1").arg(m_standardError),
                                   QIODevice::Append);
    m_process.setChildProcessModifier([sockets = m_sockets, files = m_fileLimit] {
        // A test that crashes must not leave its service running.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        const rlimit limit{files, files};
        if (files > 0)
            ::setrlimit(RLIMIT_NOFILE, &limit);
        // Out of the way first: a socket may already sit at 3 or 4.
        int moved[16];
        const std::size_t count = std::min<std::size_t>(sockets.size(), 16);
        for (std::size_t i = 0; i < count; ++i)
            moved[i] = ::fcntl(sockets[i], F_DUPFD_CLOEXEC, 64);
        for (std::size_t i = 0; i < count; ++i)
            ::dup2(moved[i], 3 + static_cast<int>(i));
    });
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

QByteArray RegnickProcess::logrotateConfig() const
{
    QString text = QString::fromUtf8(fileBytes(QStringLiteral(PARLONDA_LOGROTATE_FILE)));
    text.replace(QStringLiteral("/var/log/parlonda-regnick/regnick.log"), logPath());
    // The file's own signal, sent straight to this process.
    const QString signal =
        QRegularExpression(QStringLiteral("--signal=SIG([A-Z0-9]+)")).match(text).captured(1);
    text.replace(
        QRegularExpression(QStringLiteral("postrotate\\n.*endscript"),
                           QRegularExpression::DotMatchesEverythingOption),
        QStringLiteral("postrotate\n kill -%1 %2\n endscript").arg(signal).arg(processId()));
    return text.toUtf8();
}

QByteArray RegnickProcess::log() const
{
    return fileBytes(logPath());
}

} // namespace parlonda::test
