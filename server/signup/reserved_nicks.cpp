#include "server/signup/reserved_nicks.h"

#include "common/nick_rules.h"
#include "server/signup/registration_form.h"

#include <QString>
#include <QStringDecoder>
#include <QStringList>
#include <cerrno>
#include <cstring>
#include <fstream>

namespace parlonda {

// Generated at build time from server/signup/reserved-nicks.txt.
extern const std::string_view kBuiltInReservedNicks;

ReservedNicks ReservedNicks::builtIn()
{
    std::string error;
    std::optional<ReservedNicks> nicks = fromText(kBuiltInReservedNicks, error);
    // A mistake in the shipped file stops every start: no test misses it.
    if (!nicks)
        qFatal("the built-in reserved nicks: %s", error.c_str());
    return std::move(*nicks);
}

std::optional<ReservedNicks> ReservedNicks::fromFile(const std::string &path, std::string &error)
{
    std::ifstream in(path, std::ios::binary);
    std::string text;
    char block[4096];
    while (in && (in.read(block, sizeof block), in.gcount() > 0))
        text.append(block, static_cast<std::size_t>(in.gcount()));
    if (!in.is_open() || in.bad()) {
        error = "cannot read the reserved nicks " + path + ": " + std::strerror(errno);
        return std::nullopt;
    }
    std::optional<ReservedNicks> nicks = fromText(text, error);
    if (!nicks)
        error = "the reserved nicks " + path + ": " + error;
    return nicks;
}

std::optional<ReservedNicks> ReservedNicks::fromText(std::string_view text, std::string &error)
{
    QStringDecoder utf8(QStringDecoder::Utf8);
    const QString decoded = utf8(QByteArrayView(text.data(), static_cast<qsizetype>(text.size())));
    if (utf8.hasError()) {
        error = "not UTF-8 text";
        return std::nullopt;
    }
    ReservedNicks nicks;
    const QStringList lines = decoded.split(u'\n');
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QString nick = lines[i].trimmed();
        if (nick.isEmpty() || nick.startsWith(u'#'))
            continue;
        // A line no sign-up could match is a mistake in the list.
        if (const NickProblem problem = checkNick(nick); problem != NickProblem::None) {
            error = "line " + std::to_string(i + 1) + " is not a nick (" +
                    std::string(nickProblemName(problem)) + ")";
            return std::nullopt;
        }
        nicks.m_keys.insert(nickKey(nick));
    }
    return nicks;
}

} // namespace parlonda
