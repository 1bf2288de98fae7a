#include "tests/server/haproxy_front.h"

#include <QFile>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace parlonda::test {
namespace {

constexpr int kTimeoutMs = 10000;
// The socket HAProxy finds its listener on.
constexpr int kListenerFd = 3;

const char *const kConfiguration = R"(global
    maxconn 4096
defaults
    mode tcp
    timeout connect 5s
    timeout client 60s
    timeout server 60s
frontend front
    bind fd@%1
    default_backend regnick
backend regnick
    server regnick 127.0.0.1:%2 send-proxy-v2
)";

} // namespace

HaproxyFront::HaproxyFront(quint16 servicePort, QString directory)
    : m_servicePort(servicePort), m_directory(std::move(directory))
{
}

HaproxyFront::~HaproxyFront()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.terminate();
        if (!m_process.waitForFinished(kTimeoutMs)) {
            m_process.kill();
            m_process.waitForFinished(kTimeoutMs);
        }
    }
    if (m_listener >= 0)
        ::close(m_listener);
}

bool HaproxyFront::start()
{
    m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    socklen_t length = sizeof address;
    if (m_listener < 0 ||
        ::bind(m_listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        ::listen(m_listener, 512) != 0 ||
        ::getsockname(m_listener, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return false;
    m_port = ntohs(address.sin_port);

    const QString configuration = m_directory + QStringLiteral("/haproxy.cfg");
    QFile file(configuration);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(
            QString::fromLatin1(kConfiguration).arg(kListenerFd).arg(m_servicePort).toLatin1()) < 0)
        return false;
    file.close();

    // Both see the listener, which the configuration names.
    const int listener = m_listener;
    const auto passListener = [listener] {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (listener == kListenerFd)
            ::fcntl(listener, F_SETFD, 0);
        else
            ::dup2(listener, kListenerFd); // without close-on-exec
    };
    // Checked first, so that a refused configuration is told here rather
    // than as connections that go nowhere.
    QProcess check;
    check.setChildProcessModifier(passListener);
    check.setProcessChannelMode(QProcess::MergedChannels);
    check.start(QStringLiteral("haproxy"),
                {QStringLiteral("-c"), QStringLiteral("-q"), QStringLiteral("-f"), configuration});
    if (!check.waitForFinished(kTimeoutMs) || check.exitCode() != 0) {
        qWarning("haproxy -c: %s", check.readAll().constData());
        return false;
    }

    m_process.setProgram(QStringLiteral("haproxy"));
    // -db: in the foreground, not as a daemon.
    m_process.setArguments({QStringLiteral("-db"), QStringLiteral("-f"), configuration});
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    m_process.setStandardOutputFile(m_directory + QStringLiteral("/haproxy.out"));
    m_process.setChildProcessModifier(passListener);
    m_process.start();
    return m_process.waitForStarted(kTimeoutMs);
}

QByteArray HaproxyFront::output() const
{
    QFile file(m_directory + QStringLiteral("/haproxy.out"));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace parlonda::test
