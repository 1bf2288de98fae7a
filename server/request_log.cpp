#include "server/request_log.h"

#include <QDateTime>
#include <QString>
#include <cstdio>

namespace parlonda {
namespace {

// Paths can be up to 8 KiB long; a log line need not.
constexpr std::size_t kMaxWordBytes = 200;
constexpr qsizetype kMaxQuotedCharacters = 80;

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

std::string logQuoted(std::string_view utf8)
{
    const QString text = QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
    QString quoted = QStringLiteral("\"");
    for (qsizetype i = 0; i < text.size() && i < kMaxQuotedCharacters; ++i) {
        const QChar c = text.at(i);
        const char16_t u = c.unicode();
        if (u == u'"' || u == u'\\') {
            quoted += u'\\';
            quoted += c;
        } else if (u < 0x20 || (u >= 0x7F && u <= 0x9F)) {
            quoted += QStringLiteral("\\x%1").arg(static_cast<uint>(u), 2, 16, QChar(u'0'));
        } else {
            quoted += c;
        }
    }
    if (text.size() > kMaxQuotedCharacters)
        quoted += QStringLiteral("...");
    quoted += u'"';
    return quoted.toUtf8().toStdString();
}

void RequestLog::request(std::string_view method, std::string_view path, std::string_view nick,
                         std::string_view outcome, int status)
{
    std::string line = utcNow();
    line += ' ';
    line += logWord(method);
    line += ' ';
    line += logWord(path);
    line += ' ';
    line += nick.empty() ? std::string("-") : logQuoted(nick);
    line += ' ';
    line += outcome;
    line += ' ';
    line += std::to_string(status);
    writeLine(line);
}

void RequestLog::problem(std::string_view text)
{
    writeLine(utcNow() + " error: " + std::string(text));
}

void RequestLog::writeLine(const std::string &line)
{
    const std::lock_guard lock(m_mutex);
    m_out << line << '\n';
    m_out.flush();
}

} // namespace parlonda
