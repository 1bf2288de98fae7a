#pragma once

#include <mutex>
#include <ostream>
#include <string>
#include <string_view>

namespace parlonda {

// One line per request, safe from the server's worker threads:
//   2024-05-01T12:00:00.123Z POST /cgi-bin/regnick.pl "ana" registered 200
// The nick is quoted, "-" when the request had none. Whatever the client
// sent is escaped, so that no one can forge a line or move the terminal.
class RequestLog
{
public:
    explicit RequestLog(std::ostream &out) : m_out(out) {}

    void request(std::string_view method, std::string_view path, std::string_view nick,
                 std::string_view outcome, int status);

    // A line for the operator about something that went wrong inside.
    void problem(std::string_view text);

private:
    void writeLine(const std::string &line);

    std::ostream &m_out;
    std::mutex m_mutex;
};

// Bytes of a request line as one word: spaces, controls, "%" and everything
// beyond ASCII as "%XX".
std::string logWord(std::string_view bytes);

// UTF-8 text in double quotes; controls (C0, DEL, C1), '"' and '\' escaped,
// cut after 80 characters.
std::string logQuoted(std::string_view utf8);

} // namespace parlonda
