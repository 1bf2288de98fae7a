#pragma once

#include <QProcess>
#include <QString>
#include <chrono>

namespace parlonda::bench {

// The registration service the benchmark talks to: the test HTTP server,
// answering every request with "Error" (the nick is taken) after `delay`.
// It runs in a child process (this program started with --serve), so that
// neither its threads' CPU time nor its memory counts against the client.
class ServerProcess
{
public:
    explicit ServerProcess(std::chrono::milliseconds delay);
    ~ServerProcess();

    ServerProcess(const ServerProcess &) = delete;
    ServerProcess &operator=(const ServerProcess &) = delete;

    // "http://127.0.0.1:PORT"
    const QString &baseUrl() const { return m_baseUrl; }

private:
    QProcess m_process;
    QString m_baseUrl;
};

// The child's side: serves until its standard input is closed. argv holds the
// delay in milliseconds after "--serve".
int serveUntilInputCloses(int argc, char *argv[]);

} // namespace parlonda::bench
