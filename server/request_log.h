#pragma once

#include <QtGlobal>
#include <mutex>
#include <string>
#include <string_view>

namespace parlonda {

// One line per request, safe from any thread:
//   2024-05-01T12:00:00.123Z 127.0.0.1 POST /cgi-bin/regnick.pl "ana" registered 200
// The nick is quoted, "-" when the request had none; the status is "-" when
// the connection was closed without an answer. Whatever the client sent is
// escaped, so that no one can forge a line, move the terminal or pass one
// nick off as another ("an\u00ADa" for "ana").
class RequestLog
{
public:
    // Writes to `fd`, which must stay open while the log is used. Each line
    // goes out in one write(), so lines from several threads never mix.
    // With `journald`, every line starts with its syslog priority as
    // journald reads it: <3> errors, <5> notices, <6> requests.
    explicit RequestLog(int fd, bool journald = false) : m_fd(fd), m_journald(journald) {}

    // Opens `path` for appending, creating it readable by its owner only
    // (the log names people's nicks and addresses). -1 with a reason in
    // `error` when that fails.
    static int openFile(const std::string &path, std::string &error);

    // Opens `path` again, as openFile() does, in place of the file written
    // so far, which logrotate may have moved away; the descriptor stays the
    // same. False with the reason in `error`, writing on where it did.
    bool reopenFile(const std::string &path, std::string &error);

    void request(std::string_view client, std::string_view method, std::string_view path,
                 std::string_view nick, std::string_view outcome, int status);

    // A line for the operator about something that went wrong inside. The
    // text is escaped like a nick: it may quote what a client sent.
    void problem(std::string_view text);
    // A line for the operator about something that needs their action
    // (journald's <4>), such as an option that takes a restart.
    void warning(std::string_view text);
    // A line for the operator about the service itself: started, stopping.
    void notice(std::string_view text);

private:
    void writeLabelled(std::string_view priority, std::string_view label, std::string_view text);
    void writeLine(std::string_view priority, std::string line);

    int m_fd;
    bool m_journald;
    std::mutex m_mutex;
};

// Bytes of a request line as one word: spaces, controls, "%" and everything
// beyond ASCII as "%XX".
std::string logWord(std::string_view bytes);

// UTF-8 text in double quotes, cut after `maxCharacters` characters. '"' and '\' are
// escaped, and so is every character that does not show as itself: controls
// as \x0a, the others, among them every space but " " and every invisible
// format character, as \u00a0.
std::string logQuoted(std::string_view utf8, qsizetype maxCharacters = 80);

} // namespace parlonda
