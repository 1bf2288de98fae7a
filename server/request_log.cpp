#include "server/request_log.h"

#include <QDateTime>
#include <QString>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <unistd.h>
#include <utility>
#include <vector>

namespace parlonda {
namespace {

// Paths can be up to 8 KiB long; a log line need not.
constexpr std::size_t kMaxWordBytes = 200;
constexpr qsizetype kMaxProblemCharacters = 500;

std::string utcNow()
{
    return QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs).toStdString();
}

void appendHex(std::string &out, char prefix, unsigned value, int digits)
{
    char text[8];
    std::snprintf(text, sizeof text, "%c%0*X", prefix, digits, value);
    out += text;
}

// What a reader sees as the character itself. A space other than " " would
// read as one, a format character as nothing at all.
bool showsAsItself(char32_t u)
{
    if (u == U' ')
        return true;
    if (QChar::isSpace(u) || !QChar::isPrint(u))
        return false;
    switch (QChar::category(u)) {
    case QChar::Other_Format:
    case QChar::Other_NotAssigned:
    case QChar::Other_PrivateUse:
    case QChar::Other_Surrogate:
    case QChar::Separator_Line:
    case QChar::Separator_Paragraph:
        return false;
    default:
        return true;
    }
}

} // namespace

std::string logWord(std::string_view bytes)
{
    if (bytes.empty())
        return "-";
    std::string word;
    for (std::size_t i = 0; i < bytes.size() && i < kMaxWordBytes; ++i) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        if (b <= 0x20 || b == '%' || b >= 0x7F)
            appendHex(word, '%', b, 2);
        else
            word += static_cast<char>(b);
    }
    if (bytes.size() > kMaxWordBytes)
        word += "...";
    return word;
}

std::string logQuoted(std::string_view utf8, qsizetype maxCharacters)
{
    // Invalid UTF-8 becomes U+FFFD, which shows as itself.
    const QList<uint> text =
        QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size())).toUcs4();
    QString quoted = QStringLiteral("\"");
    for (qsizetype i = 0; i < text.size() && i < maxCharacters; ++i) {
        const auto u = static_cast<char32_t>(text.at(i));
        if (u == U'"' || u == U'\\') {
            quoted += u'\\';
            quoted += QChar(u);
        } else if (u < 0x80 && !showsAsItself(u)) {
            quoted += QStringLiteral("\\x%1").arg(static_cast<uint>(u), 2, 16, QChar(u'0'));
        } else if (!showsAsItself(u)) {
            quoted += QStringLiteral("\\u") +
                      QString::number(static_cast<uint>(u), 16).toUpper().rightJustified(4, u'0');
        } else {
            quoted += QString::fromUcs4(&u, 1);
        }
    }
    if (text.size() > maxCharacters)
        quoted += QStringLiteral("...");
    quoted += u'"';
    return quoted.toUtf8().toStdString();
}

struct RequestLog::Shared
{
    // A line as given, without its journald prefix; or, with `dropped`, the
    // place where that many lines went missing.
    struct Line
    {
        Priority priority;
        std::string text;
        std::uint64_t dropped = 0;
    };
    // One kind of thinned line: the second it counts in.
    struct Kind
    {
        Priority priority;
        std::chrono::steady_clock::time_point since{};
        int lines = 0;
        std::uint64_t leftOut = 0;
    };

    Shared(int logFd, bool logJournald) : fd(logFd), journald(logJournald) {}

    // The mutex held.
    void add(Priority priority, std::string text);
    // Writes a "N more KIND left out" line for every kind whose second is
    // over, or for all of them when stopping; when the next is due. The
    // mutex held.
    std::chrono::steady_clock::time_point summarise();
    void run();
    void writeOut(const std::vector<Line> &batch);

    int fd;
    bool journald;
    int errorsFd = -1;
    bool errorsJournald = false;

    std::mutex mutex;
    std::condition_variable wake;    // for the writer
    std::condition_variable written; // for flush() and the destructor
    std::vector<Line> queue;
    std::size_t bytes = 0; // queued and being written
    bool writing = false;
    int replacement = -1; // a file opened again, to go in place of fd
    bool stopping = false;
    bool finished = false;
    std::map<std::string, Kind, std::less<>> kinds;
    std::atomic<std::uint64_t> dropped{0};
};

namespace {

std::string_view prefixOf(RequestLog::Priority priority)
{
    switch (priority) {
    case RequestLog::Priority::Error:
        return "<3>";
    case RequestLog::Priority::Warning:
        return "<4>";
    case RequestLog::Priority::Notice:
        return "<5>";
    case RequestLog::Priority::Request:
        break;
    }
    return "<6>";
}

std::string_view labelOf(RequestLog::Priority priority)
{
    switch (priority) {
    case RequestLog::Priority::Error:
        return "error";
    case RequestLog::Priority::Warning:
        return "warning";
    case RequestLog::Priority::Notice:
        return "notice";
    case RequestLog::Priority::Request:
        break;
    }
    return "request";
}

// The operator reads a sentence, not a value: escaped, but without the
// quotes around it and within it, which no reader needs to tell apart.
std::string sentence(std::string_view text)
{
    const std::string quoted = logQuoted(text, kMaxProblemCharacters);
    std::string out;
    for (std::size_t i = 1; i + 1 < quoted.size(); ++i) {
        if (quoted[i] == '\\' && quoted[i + 1] != '"')
            out += quoted[i++];
        else if (quoted[i] == '\\')
            continue;
        out += quoted[i];
    }
    return out;
}

std::string labelled(RequestLog::Priority priority, std::string_view text)
{
    return utcNow() + ' ' + std::string(labelOf(priority)) + ": " + sentence(text);
}

// All of `bytes`, or as much as goes before an error: a full disk must not
// stop the service.
void writeAll(int fd, const std::string &bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        done += static_cast<std::size_t>(n);
    }
}

} // namespace

void RequestLog::Shared::add(Priority priority, std::string text)
{
    const std::size_t size = text.size() + 1;
    if (bytes + size > kBufferBytes) {
        ++dropped;
        if (!queue.empty() && queue.back().dropped > 0)
            ++queue.back().dropped;
        else
            queue.push_back({Priority::Warning, {}, 1});
        return;
    }
    bytes += size;
    queue.push_back({priority, std::move(text), 0});
    if (queue.size() == 1)
        wake.notify_one();
}

std::chrono::steady_clock::time_point RequestLog::Shared::summarise()
{
    const auto now = std::chrono::steady_clock::now();
    auto next = std::chrono::steady_clock::time_point::max();
    for (auto &[kind, counted] : kinds) {
        if (counted.leftOut == 0)
            continue;
        const auto over = counted.since + std::chrono::seconds(1);
        if (over > now && !stopping) {
            next = std::min(next, over);
            continue;
        }
        add(counted.priority, labelled(counted.priority, std::to_string(counted.leftOut) +
                                                             " more " + kind + " left out"));
        counted = Kind{counted.priority, {}, 0, 0};
    }
    return next;
}

void RequestLog::Shared::run()
{
    std::unique_lock lock(mutex);
    for (;;) {
        const auto next = summarise();
        if (queue.empty() && replacement < 0) {
            if (stopping)
                break;
            written.notify_all();
            if (next == std::chrono::steady_clock::time_point::max())
                wake.wait(lock);
            else
                wake.wait_until(lock, next);
            continue;
        }
        std::vector<Line> batch;
        batch.swap(queue);
        const int reopened = std::exchange(replacement, -1);
        writing = true;
        lock.unlock();
        // Between two writes, so that no line is cut in two.
        if (reopened >= 0) {
            const bool replaced = ::dup3(reopened, fd, O_CLOEXEC) >= 0;
            if (!replaced)
                writeOut({Line{Priority::Error,
                               labelled(Priority::Error, std::string("cannot reopen the log: ") +
                                                             std::strerror(errno)),
                               0}});
            ::close(reopened);
        }
        writeOut(batch);
        lock.lock();
        writing = false;
        for (const Line &line : batch)
            bytes -= line.dropped > 0 ? 0 : line.text.size() + 1;
    }
    finished = true;
    written.notify_all();
}

void RequestLog::Shared::writeOut(const std::vector<Line> &batch)
{
    std::string out;
    std::string errors;
    for (const Line &line : batch) {
        const std::string text =
            line.dropped == 0
                ? line.text
                : labelled(Priority::Warning, "dropped " + std::to_string(line.dropped) +
                                                  " log lines while the log was not being read");
        if (journald)
            out += prefixOf(line.priority);
        out += text;
        out += '\n';
        if (errorsFd >= 0 &&
            (line.priority == Priority::Error || line.priority == Priority::Warning)) {
            if (errorsJournald)
                errors += prefixOf(line.priority);
            errors += text;
            errors += '\n';
        }
    }
    writeAll(fd, out);
    if (!errors.empty())
        writeAll(errorsFd, errors);
}

RequestLog::RequestLog(int fd, bool journald)
    : m_shared(std::make_shared<Shared>(fd, journald)),
      m_writer([shared = m_shared] { shared->run(); })
{
}

RequestLog::~RequestLog()
{
    std::unique_lock lock(m_shared->mutex);
    m_shared->stopping = true;
    m_shared->wake.notify_all();
    const bool finished =
        m_shared->written.wait_for(lock, kStopFlush, [this] { return m_shared->finished; });
    lock.unlock();
    // A reader that never comes back keeps the writer in write(): it goes
    // with the process.
    if (finished)
        m_writer.join();
    else
        m_writer.detach();
}

void RequestLog::copyErrorsTo(int fd, bool journald)
{
    const std::lock_guard lock(m_shared->mutex);
    m_shared->errorsFd = fd;
    m_shared->errorsJournald = journald;
}

int RequestLog::openFile(const std::string &path, std::string &error)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        error = "cannot open the log " + path + ": " + std::strerror(errno);
    return fd;
}

bool RequestLog::reopenFile(const std::string &path, std::string &error)
{
    const int fd = openFile(path, error);
    if (fd < 0)
        return false;
    const std::lock_guard lock(m_shared->mutex);
    if (m_shared->replacement >= 0)
        ::close(m_shared->replacement);
    m_shared->replacement = fd;
    m_shared->wake.notify_one();
    return true;
}

void RequestLog::request(std::string_view client, std::string_view method, std::string_view path,
                         std::string_view nick, std::string_view outcome, int status,
                         std::string_view reason)
{
    std::string line = utcNow();
    line += ' ';
    line += logWord(client);
    line += ' ';
    line += logWord(method);
    line += ' ';
    line += logWord(path);
    line += ' ';
    line += nick.empty() ? std::string("-") : logQuoted(nick);
    line += ' ';
    line += outcome;
    line += ' ';
    line += status > 0 ? std::to_string(status) : std::string("-");
    if (!reason.empty()) {
        // Our own words: the parentheses are what tell them apart.
        line += " (" + sentence(reason) + ')';
    }
    const std::lock_guard lock(m_shared->mutex);
    m_shared->add(Priority::Request, std::move(line));
}

void RequestLog::problem(std::string_view text)
{
    writeLabelled(Priority::Error, text);
}

void RequestLog::warning(std::string_view text)
{
    writeLabelled(Priority::Warning, text);
}

void RequestLog::notice(std::string_view text)
{
    writeLabelled(Priority::Notice, text);
}

void RequestLog::writeLabelled(Priority priority, std::string_view text)
{
    std::string line = labelled(priority, text);
    const std::lock_guard lock(m_shared->mutex);
    m_shared->add(priority, std::move(line));
}

void RequestLog::thinned(Priority priority, std::string_view kind, std::string_view text)
{
    std::string line = labelled(priority, text);
    const auto now = std::chrono::steady_clock::now();
    const std::lock_guard lock(m_shared->mutex);
    auto it = m_shared->kinds.find(kind);
    if (it == m_shared->kinds.end())
        it = m_shared->kinds.emplace(std::string(kind), Shared::Kind{priority, {}, 0, 0}).first;
    Shared::Kind &counted = it->second;
    if (now - counted.since >= std::chrono::seconds(1)) {
        // The writer sums up a second once it is over; it may not have yet.
        m_shared->summarise();
        counted = Shared::Kind{priority, now, 0, 0};
    }
    if (++counted.lines <= kThinnedPerSecond) {
        m_shared->add(priority, std::move(line));
    } else if (counted.leftOut++ == 0) {
        // The writer's wait now ends when this second does.
        m_shared->wake.notify_one();
    }
}

std::uint64_t RequestLog::dropped() const
{
    return m_shared->dropped;
}

bool RequestLog::flush(std::chrono::steady_clock::time_point deadline)
{
    std::unique_lock lock(m_shared->mutex);
    return m_shared->written.wait_until(lock, deadline, [this] {
        return m_shared->queue.empty() && !m_shared->writing && m_shared->replacement < 0;
    });
}

} // namespace parlonda
