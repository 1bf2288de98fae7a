#include "bench/server_process.h"

#include "tests/support/test_http_server.h"

#include <QCoreApplication>
#include <cstdio>
#include <cstdlib>

namespace parlonda::bench {

ServerProcess::ServerProcess(std::chrono::milliseconds delay)
{
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start(QCoreApplication::applicationFilePath(),
                    {QStringLiteral("--serve"), QString::number(delay.count())});
    while (!m_process.canReadLine()) {
        if (!m_process.waitForReadyRead(10000))
            qFatal("The benchmark's server process did not start: %s",
                   qUtf8Printable(m_process.errorString()));
    }
    const int port = m_process.readLine().trimmed().toInt();
    if (port <= 0)
        qFatal("The benchmark's server process gave no port");
    m_baseUrl = QStringLiteral("http://127.0.0.1:%1").arg(port);
}

ServerProcess::~ServerProcess()
{
    m_process.closeWriteChannel();
    if (!m_process.waitForFinished(10000)) {
        m_process.kill();
        m_process.waitForFinished();
    }
}

int serveUntilInputCloses(int argc, char *argv[])
{
    const std::chrono::milliseconds delay(argc > 2 ? std::atoll(argv[2]) : 0);
    test::TestHttpServer server;
    if (delay.count() > 0)
        server.replyAfter(delay, 200, "Error");
    else
        server.replyWith(200, "Error");
    std::printf("%d\n", server.port());
    std::fflush(stdout);
    while (std::getchar() != EOF) {
    }
    return 0;
}

} // namespace parlonda::bench
