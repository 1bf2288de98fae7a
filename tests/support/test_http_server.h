#pragma once

#include "tests/support/test_certificates.h"

#include <QString>
#include <QUrl>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <httplib.h>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace parlonda::test {

struct RecordedRequest
{
    std::string method;
    std::string path;   // without the query
    std::string target; // as sent on the request line, query included
    std::string body;
    httplib::Headers headers;
};

// A real HTTP server on 127.0.0.1 for the network tests, running on threads of
// its own so that the test's event loop stays free for the client under test;
// HTTPS when given a certificate.
// Every request is recorded before its handler runs. The server closes each
// connection after one answer, so no idle keep-alive connection can hold up
// its shutdown.
class TestHttpServer
{
public:
    using Handler = std::function<void(const httplib::Request &, httplib::Response &)>;

    // Listening on a free port and accepting when the constructor returns.
    TestHttpServer();
    // The same over TLS, presenting this certificate.
    explicit TestHttpServer(const Pem &tls);
    // Stops; requests held by hang() or replyAfter() are let go at once.
    ~TestHttpServer();

    TestHttpServer(const TestHttpServer &) = delete;
    TestHttpServer &operator=(const TestHttpServer &) = delete;

    // "http://127.0.0.1:PORT" ("https://" with TLS), no trailing slash.
    QString baseUrl() const;
    // baseUrl() followed by path, e.g. url(u"/cgi-bin/regnick.pl").
    QUrl url(QStringView path) const;
    int port() const { return m_port; }

    // Runs on a server thread, once per request. Default: 200, text/plain, "OK".
    void setHandler(Handler handler);
    void replyWith(int status, std::string body, std::string contentType = "text/plain");
    void replyAfter(std::chrono::milliseconds delay, int status, std::string body);
    // A form's POST is answered `status` with a Location header, and a body
    // "Error" that no client may take for the answer; a GET of "/hop/N"
    // (N > 0) with a 302 to "/hop/N-1"; any other GET with 200 and `page`.
    void redirectPosts(int status, std::string location, std::string page);
    // Requests are held unanswered until release() or destruction; then the
    // current handler answers them.
    void hang();
    void release();
    // Announces a longer Content-Length than it sends, then closes the connection.
    void dropMidBody();

    // Thread-safe copy, in arrival order.
    std::vector<RecordedRequest> requests() const;
    int requestCount() const;
    void clear();

private:
    void dispatch(const httplib::Request &request, httplib::Response &response);
    // Sleeps up to `delay`; false when the server is being stopped meanwhile.
    bool waitUnlessStopping(std::chrono::milliseconds delay);

    explicit TestHttpServer(std::unique_ptr<httplib::Server> server, bool tls);

    std::unique_ptr<httplib::Server> m_server;
    bool m_tls = false;
    std::thread m_thread;
    int m_port = 0;

    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    Handler m_handler;
    std::vector<RecordedRequest> m_requests;
    bool m_hanging = false;
    bool m_stopping = false;
    std::atomic<bool> m_listenEnded{false};
};

} // namespace parlonda::test
