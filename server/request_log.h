#pragma once

#include <QtGlobal>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

namespace parlonda {

// One line per request, safe from any thread:
//   2024-05-01T12:00:00.123Z 127.0.0.1 POST /cgi-bin/regnick.pl "ana" registered 200
// The nick is quoted, "-" when the request had none; the status is "-" when
// the connection was closed without an answer. Whatever the client sent is
// escaped, so that no one can forge a line, move the terminal or pass one
// nick off as another ("an\u00ADa" for "ana").
//
// Logging never holds anyone up: a line is put in a buffer of
// kBufferBytes, and a thread of the log's own writes it out. When whoever
// reads the log (journald, a pipe, a file on a stuck disk) stops reading
// and the buffer is full, new lines are dropped, counted (dropped()), and
// once the log is written again a warning there says how many went
// missing, where they went missing.
class RequestLog
{
public:
    static constexpr std::size_t kBufferBytes = 1024 * 1024;
    // How long the destructor waits for the lines still in the buffer.
    static constexpr std::chrono::milliseconds kStopFlush{500};
    // Lines of one kind a second that thinned() lets through.
    static constexpr int kThinnedPerSecond = 5;

    // journald's priorities, and the label each line carries.
    enum class Priority { Error, Warning, Notice, Request };

    // Writes to `fd`, which must stay open while the log is used. With
    // `journald`, every line starts with its syslog priority as journald
    // reads it: <3> errors, <4> warnings, <5> notices, <6> requests.
    explicit RequestLog(int fd, bool journald = false);
    // Writes out what is buffered, waiting kStopFlush at most.
    ~RequestLog();
    RequestLog(const RequestLog &) = delete;
    RequestLog &operator=(const RequestLog &) = delete;

    // Errors and warnings go to `fd` as well (standard error, when the log
    // goes to a file), with their priority when `journald`. Before any line.
    void copyErrorsTo(int fd, bool journald);

    // Opens `path` for appending, creating it readable by its owner only
    // (the log names people's nicks and addresses). -1 with a reason in
    // `error` when that fails.
    static int openFile(const std::string &path, std::string &error);

    // Opens `path` again, as openFile() does, in place of the file written
    // so far, which logrotate may have moved away; the descriptor stays the
    // same. Every line given after this goes to the new file, and so do the
    // lines still buffered. False with the reason in `error`, writing on
    // where it did.
    bool reopenFile(const std::string &path, std::string &error);

    // `reason`, when given, follows in parentheses: our own words for why
    // the request was refused, never what the client sent.
    void request(std::string_view client, std::string_view method, std::string_view path,
                 std::string_view nick, std::string_view outcome, int status,
                 std::string_view reason = {});

    // A line for the operator about something that went wrong inside. The
    // text is escaped like a nick: it may quote what a client sent.
    void problem(std::string_view text);
    // A line for the operator about something that needs their action
    // (journald's <4>), such as an option that takes a restart.
    void warning(std::string_view text);
    // A line for the operator about the service itself: started, stopping.
    void notice(std::string_view text);

    // For lines any client can cause at will (a refused connection, a
    // failed handshake): kThinnedPerSecond lines of one `kind` a second get
    // through, and for the others one line "N more <kind> left out" goes
    // out as soon as that second is over, also when nothing follows.
    void thinned(Priority priority, std::string_view kind, std::string_view text);

    // Lines dropped since the start because the buffer was full.
    std::uint64_t dropped() const;

    // Waits until every line given so far is written out, or `deadline`;
    // false then.
    bool flush(std::chrono::steady_clock::time_point deadline);

private:
    struct Shared;
    void writeLabelled(Priority priority, std::string_view text);

    // Shared with the writer, which may outlive the log when its reader
    // never comes back.
    std::shared_ptr<Shared> m_shared;
    std::thread m_writer;
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
