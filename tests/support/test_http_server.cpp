#include "tests/support/test_http_server.h"

#include <QtGlobal>
#include <openssl/pem.h>
#include <openssl/ssl.h>

namespace parlonda::test {

namespace {

void answer(httplib::Response &response, int status, const std::string &body,
            const std::string &contentType)
{
    response.status = status;
    response.set_content(body, contentType.c_str());
}

// The certificate and key straight from memory: no files to clean up.
bool useCertificate(SSL_CTX &context, const Pem &tls)
{
    using Bio = std::unique_ptr<BIO, decltype(&BIO_free)>;
    const Bio certificateBio(
        BIO_new_mem_buf(tls.certificate.data(), static_cast<int>(tls.certificate.size())),
        &BIO_free);
    const Bio keyBio(
        BIO_new_mem_buf(tls.privateKey.data(), static_cast<int>(tls.privateKey.size())), &BIO_free);
    std::unique_ptr<X509, decltype(&X509_free)> certificate(
        PEM_read_bio_X509(certificateBio.get(), nullptr, nullptr, nullptr), &X509_free);
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
        PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr), &EVP_PKEY_free);
    return certificate && key && SSL_CTX_use_certificate(&context, certificate.get()) == 1 &&
           SSL_CTX_use_PrivateKey(&context, key.get()) == 1;
}

} // namespace

TestHttpServer::TestHttpServer() : TestHttpServer(std::make_unique<httplib::Server>(), false) {}

TestHttpServer::TestHttpServer(const Pem &tls)
    : TestHttpServer(std::make_unique<httplib::SSLServer>(
                         [&tls](SSL_CTX &context) { return useCertificate(context, tls); }),
                     true)
{
}

TestHttpServer::TestHttpServer(std::unique_ptr<httplib::Server> server, bool tls)
    : m_server(std::move(server)), m_tls(tls)
{
    if (!m_server->is_valid())
        qFatal("TestHttpServer: the TLS set-up failed");
    replyWith(200, "OK");

    // One answer per connection, and an idle connection is given up after a
    // second: either would otherwise keep the destructor waiting.
    m_server->set_keep_alive_max_count(1);
    m_server->set_keep_alive_timeout(1);

    const auto handler = [this](const httplib::Request &request, httplib::Response &response) {
        dispatch(request, response);
    };
    const std::string anyPath = ".*";
    m_server->Get(anyPath, handler);
    m_server->Post(anyPath, handler);
    m_server->Put(anyPath, handler);
    m_server->Patch(anyPath, handler);
    m_server->Delete(anyPath, handler);
    m_server->Options(anyPath, handler);

    m_port = m_server->bind_to_any_port("127.0.0.1");
    if (m_port <= 0)
        qFatal("TestHttpServer: cannot listen on 127.0.0.1");

    m_thread = std::thread([this] {
        m_server->listen_after_bind();
        m_listenEnded = true;
    });
    // The socket already queues connections; waiting for the accept loop
    // makes stop() effective even for a server destroyed right away.
    while (!m_server->is_running() && !m_listenEnded)
        std::this_thread::yield();
    if (m_listenEnded)
        qFatal("TestHttpServer: the accept loop ended at once");
}

TestHttpServer::~TestHttpServer()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    m_server->stop();
    m_thread.join();
}

QString TestHttpServer::baseUrl() const
{
    return (m_tls ? QStringLiteral("https://127.0.0.1:%1") : QStringLiteral("http://127.0.0.1:%1"))
        .arg(m_port);
}

QUrl TestHttpServer::url(QStringView path) const
{
    return QUrl(baseUrl() + path.toString());
}

void TestHttpServer::setHandler(Handler handler)
{
    std::lock_guard lock(m_mutex);
    m_handler = std::move(handler);
}

void TestHttpServer::replyWith(int status, std::string body, std::string contentType)
{
    setHandler([status, body = std::move(body), contentType = std::move(contentType)](
                   const httplib::Request &, httplib::Response &response) {
        answer(response, status, body, contentType);
    });
}

void TestHttpServer::replyAfter(std::chrono::milliseconds delay, int status, std::string body)
{
    setHandler([this, delay, status, body = std::move(body)](const httplib::Request &,
                                                             httplib::Response &response) {
        if (waitUnlessStopping(delay))
            answer(response, status, body, "text/plain");
        else
            response.status = 503;
    });
}

void TestHttpServer::redirectPosts(int status, std::string location, std::string page)
{
    setHandler([=](const httplib::Request &request, httplib::Response &response) {
        const bool hop = request.path.starts_with("/hop/") && request.path != "/hop/0";
        if (request.method == "POST" || hop) {
            answer(response, request.method == "POST" ? status : 302, "Error", "text/plain");
            response.set_header(
                "Location",
                hop ? "/hop/" + std::to_string(std::stoi(request.path.substr(5)) - 1) : location);
        } else {
            answer(response, 200, page, "text/plain");
        }
    });
}

void TestHttpServer::hang()
{
    std::lock_guard lock(m_mutex);
    m_hanging = true;
}

void TestHttpServer::release()
{
    {
        std::lock_guard lock(m_mutex);
        m_hanging = false;
    }
    m_wake.notify_all();
}

void TestHttpServer::dropMidBody()
{
    setHandler([](const httplib::Request &, httplib::Response &response) {
        constexpr size_t announced = 4096;
        constexpr size_t sent = 512;
        response.status = 200;
        response.set_content_provider(announced, "text/plain",
                                      [](size_t offset, size_t, httplib::DataSink &sink) {
                                          if (offset >= sent)
                                              return false; // the server closes the connection here
                                          const std::string part(sent - offset, 'x');
                                          sink.write(part.data(), part.size());
                                          return true;
                                      });
    });
}

std::vector<RecordedRequest> TestHttpServer::requests() const
{
    std::lock_guard lock(m_mutex);
    return m_requests;
}

int TestHttpServer::requestCount() const
{
    std::lock_guard lock(m_mutex);
    return static_cast<int>(m_requests.size());
}

void TestHttpServer::clear()
{
    std::lock_guard lock(m_mutex);
    m_requests.clear();
}

void TestHttpServer::dispatch(const httplib::Request &request, httplib::Response &response)
{
    Handler handler;
    {
        std::unique_lock lock(m_mutex);
        m_requests.push_back(
            {request.method, request.path, request.target, request.body, request.headers});
        m_wake.wait(lock, [this] { return !m_hanging || m_stopping; });
        if (m_stopping) {
            response.status = 503;
            return;
        }
        handler = m_handler;
    }
    handler(request, response);
}

bool TestHttpServer::waitUnlessStopping(std::chrono::milliseconds delay)
{
    std::unique_lock lock(m_mutex);
    return !m_wake.wait_for(lock, delay, [this] { return m_stopping; });
}

} // namespace parlonda::test
