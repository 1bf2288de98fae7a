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
// The descriptor the front finds its listener on.
constexpr int kListenerFd = 3;

const char *const kConfiguration = R"(global
    maxconn 4096
defaults
    mode tcp
    timeout connect 5s
    timeout client 60s
    timeout server 60s
frontend front
    bind :443
    default_backend regnick
backend regnick
    server regnick 127.0.0.1:%1 send-proxy-v2
)";

QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

HaproxyFront::HaproxyFront(quint16 servicePort, QString directory)
    : m_configuration(QString::fromLatin1(kConfiguration).arg(servicePort).toLatin1()),
      m_directory(std::move(directory))
{
}

HaproxyFront::HaproxyFront(Program program, const QString &example,
                           const Replacements &replacements, QString directory)
    : m_program(program), m_configuration(fileBytes(example)), m_directory(std::move(directory))
{
    for (const auto &[from, to] : replacements)
        m_configuration.replace(from, to);
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

    const bool nginx = m_program == Program::Nginx;
    QByteArray text = m_configuration;
    if (nginx) {
        text.replace("listen [::]:443 ssl;", "")
            .replace("listen [::]:443;", "")
            .replace("listen 443", "listen 127.0.0.1:" + QByteArray::number(m_port));
        // A stream {} block stands on its own; an http one's temporary
        // files go here too, so that it runs as any user.
        text = text.contains("\nstream {")
                   ? "load_module /usr/lib/nginx/modules/ngx_stream_module.so;\nevents {}\n" + text
                   : "events {}\nhttp {\naccess_log off;\n" +
                         QStringLiteral("client_body_temp_path %1/b; proxy_temp_path %1/p; "
                                        "fastcgi_temp_path %1/f; uwsgi_temp_path %1/u; "
                                        "scgi_temp_path %1/s;\n")
                             .arg(m_directory)
                             .toUtf8() +
                         text + "}\n";
    } else
        text.replace("bind :443", "bind fd@" + QByteArray::number(kListenerFd));
    const QString configuration =
        m_directory + (nginx ? QStringLiteral("/nginx.conf") : QStringLiteral("/haproxy.cfg"));
    const QString out = m_directory + QStringLiteral("/front.out");
    QFile file(configuration);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(text) < 0)
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
    const QString program = nginx ? QStringLiteral("nginx") : QStringLiteral("haproxy");
    // nginx: in the foreground, its log here, the socket inherited.
    const QStringList nginxOptions = {
        QStringLiteral("-e"), out,
        QStringLiteral("-c"), configuration,
        QStringLiteral("-g"), QStringLiteral("daemon off; pid %1/nginx.pid;").arg(m_directory)};
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("NGINX"), QStringLiteral("%1;").arg(kListenerFd));
    // Checked first, so that a refused configuration is told here rather
    // than as connections that go nowhere.
    QProcess check;
    check.setChildProcessModifier(passListener);
    check.setProcessChannelMode(QProcess::MergedChannels);
    check.start(program,
                nginx ? QStringList{QStringLiteral("-t"), QStringLiteral("-q")} + nginxOptions
                      : QStringList{QStringLiteral("-c"), QStringLiteral("-q"),
                                    QStringLiteral("-f"), configuration});
    if (!check.waitForFinished(kTimeoutMs) || check.exitCode() != 0) {
        qWarning("%s: %s", qPrintable(program), check.readAll().constData());
        return false;
    }

    // HAProxy's -db: in the foreground, not as a daemon.
    m_process.setProgram(program);
    m_process.setArguments(
        nginx ? nginxOptions
              : QStringList{QStringLiteral("-db"), QStringLiteral("-f"), configuration});
    m_process.setProcessEnvironment(environment);
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    m_process.setStandardOutputFile(out, QIODevice::Append);
    m_process.setChildProcessModifier(passListener);
    m_process.start();
    return m_process.waitForStarted(kTimeoutMs);
}

QByteArray HaproxyFront::output() const
{
    return fileBytes(m_directory + QStringLiteral("/front.out"));
}

} // namespace parlonda::test
