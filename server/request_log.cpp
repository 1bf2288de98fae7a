#include "server/request_log.h"

#include <QDateTime>
#include <QString>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

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
    const std::lock_guard lock(m_mutex);
    // dup3 keeps close-on-exec; no line is half written meanwhile.
    const bool replaced = ::dup3(fd, m_fd, O_CLOEXEC) >= 0;
    if (!replaced)
        error = "cannot reopen the log " + path + ": " + std::strerror(errno);
    ::close(fd);
    return replaced;
}

void RequestLog::request(std::string_view client, std::string_view method, std::string_view path,
                         std::string_view nick, std::string_view outcome, int status)
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
    writeLine("<6>", std::move(line));
}

void RequestLog::problem(std::string_view text)
{
    writeLabelled("<3>", "error", text);
}

void RequestLog::warning(std::string_view text)
{
    writeLabelled("<4>", "warning", text);
}

void RequestLog::notice(std::string_view text)
{
    writeLabelled("<5>", "notice", text);
}

void RequestLog::writeLabelled(std::string_view priority, std::string_view label,
                               std::string_view text)
{
    const std::string quoted = logQuoted(text, kMaxProblemCharacters);
    // Without the quotes: the operator reads a sentence, not a value.
    writeLine(priority,
              utcNow() + ' ' + std::string(label) + ": " + quoted.substr(1, quoted.size() - 2));
}

void RequestLog::writeLine(std::string_view priority, std::string line)
{
    if (m_journald)
        line.insert(0, priority);
    line += '\n';
    const std::lock_guard lock(m_mutex);
    std::size_t written = 0;
    while (written < line.size()) {
        const ssize_t n = ::write(m_fd, line.data() + written, line.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return; // a full disk must not stop the service
        written += static_cast<std::size_t>(n);
    }
}

} // namespace parlonda
