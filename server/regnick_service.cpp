#include "server/regnick_service.h"

#include "server/account_store.h"
#include "server/password_hash.h"
#include "server/registration_form.h"
#include "server/request_log.h"

#include <exception>
#include <optional>

namespace parlonda {
namespace {

using HandlerResponse = httplib::Server::HandlerResponse;

// A client that sends more than the limit still has its body read, and
// dropped, up to here, so that it gets to see the 413 instead of a
// connection reset by unread data.
constexpr std::size_t kDrainLimitBytes = 1024 * 1024;

const std::string kTextPlain = "text/plain; charset=utf-8";

// What the handler learnt for the log line, which httplib writes later on the
// same worker thread, once the answer is sent.
struct LogNote
{
    std::string nick;
    std::string_view outcome;
};
thread_local LogNote t_note;

std::string_view outcomeFor(int status)
{
    switch (status) {
    case 400:
        return "rejected";
    case 404:
        return "not-found";
    case 405:
        return "wrong-method";
    case 413:
        return "too-large";
    case 415:
        return "wrong-type";
    case 500:
        return "failed";
    default:
        return status < 400 ? "answered" : "refused";
    }
}

bool carriesBody(const std::string &method)
{
    return method == "POST" || method == "PUT" || method == "PATCH" || method == "DELETE";
}

void reply(httplib::Response &response, int status, const std::string &text)
{
    response.status = status;
    response.set_content(text, kTextPlain);
}

// 404 or 405 for anything but a POST to the script.
bool answerStrayRequest(const httplib::Request &request, httplib::Response &response)
{
    if (request.path != RegnickService::kPath) {
        reply(response, 404, "Not found\n");
        return true;
    }
    if (request.method != "POST") {
        response.set_header("Allow", "POST");
        reply(response, 405, "Only POST is allowed here\n");
        return true;
    }
    return false;
}

} // namespace

void RegnickService::install(httplib::Server &server)
{
    server.set_payload_max_length(kMaxBodyBytes);
    // One request per connection. An early answer can leave unread body bytes
    // behind, which must never be taken for the next request; the client
    // sends one request per sign-up anyway.
    server.set_keep_alive_max_count(1);

    server.set_pre_routing_handler(
        [](const httplib::Request &request, httplib::Response &response) {
            t_note = {};
            // Methods with a body are answered once it is read (see handle);
            // the others never have their body read at all.
            if (carriesBody(request.method))
                return HandlerResponse::Unhandled;
            answerStrayRequest(request, response);
            return HandlerResponse::Handled;
        });

    // Every path, so that a body sent to a wrong one is read and capped too.
    const auto handler = [this](const httplib::Request &request, httplib::Response &response,
                                const httplib::ContentReader &readBody) {
        handle(request, response, readBody);
    };
    server.Post(".*", handler);
    server.Put(".*", handler);
    server.Patch(".*", handler);
    server.Delete(".*", handler);

    // httplib would otherwise put the exception's text in a response header.
    server.set_exception_handler(
        [this](const httplib::Request &, httplib::Response &response, std::exception_ptr) {
            m_log.problem("unexpected exception while answering a request");
            reply(response, 500, "Internal error\n");
        });

    server.set_logger([this](const httplib::Request &request, const httplib::Response &response) {
        const std::string_view outcome =
            t_note.outcome.empty() ? outcomeFor(response.status) : t_note.outcome;
        m_log.request(request.method, request.path, t_note.nick, outcome, response.status);
        t_note = {};
    });
}

void RegnickService::handle(const httplib::Request &request, httplib::Response &response,
                            const httplib::ContentReader &readBody)
{
    std::string body;
    std::size_t received = 0;
    bool complete = true;
    // A request with neither header has no body; httplib would wait for the
    // client to close the connection instead.
    if (request.has_header("Content-Length") || request.has_header("Transfer-Encoding")) {
        // httplib caps only bodies that announce their length; a chunked one
        // is capped here.
        const auto receive = [&](const char *data, std::size_t size) {
            received += size;
            if (received <= kMaxBodyBytes)
                body.append(data, size);
            return received <= kDrainLimitBytes;
        };
        // httplib insists on parsing a multipart body itself; it is read only
        // to be refused with 415 below.
        if (request.is_multipart_form_data())
            complete = readBody([](const httplib::MultipartFormData &) { return true; }, receive);
        else
            complete = readBody(receive);
    }

    if (answerStrayRequest(request, response))
        return;
    // httplib sets 413 itself when the announced length is over the limit.
    if (received > kMaxBodyBytes || response.status == 413) {
        reply(response, 413, "Body over 16 KiB\n");
        return;
    }
    if (!isFormContentType(request.get_header_value("Content-Type"))) {
        reply(response, 415, "Expected application/x-www-form-urlencoded\n");
        return;
    }
    if (!complete) {
        reply(response, response.status >= 400 ? response.status : 400, "Unreadable body\n");
        return;
    }
    registerAccount(body, response);
}

void RegnickService::registerAccount(const std::string &body, httplib::Response &response)
{
    const RegistrationForm form = readRegistrationForm(body);
    t_note.nick = form.nick;
    if (!form.registration) {
        reply(response, 400, form.problem + '\n');
        return;
    }

    // Slow on purpose, so done without any lock: the database's UNIQUE
    // constraint, not a check made here, settles two sign-ups of one nick.
    const std::optional<std::string> hash = hashPassword(form.registration->password);
    if (!hash) {
        m_log.problem("cannot hash a password: out of memory");
        reply(response, 500, "Internal error\n");
        return;
    }

    std::string error;
    switch (m_store.add(*form.registration, *hash, error)) {
    case AccountStore::AddResult::Added:
        t_note.outcome = "registered";
        reply(response, 200, "OK");
        break;
    case AccountStore::AddResult::Taken:
        t_note.outcome = "taken";
        reply(response, 200, "Error");
        break;
    case AccountStore::AddResult::Failed:
        m_log.problem(error);
        reply(response, 500, "Internal error\n");
        break;
    }
}

} // namespace parlonda
