#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <utility>

namespace parlonda::test {

// What the service tests send: the client's form, as the dialog sends it.
inline const QByteArray kRegnickPath = "/cgi-bin/regnick.pl";
inline const QByteArray kFormType = "application/x-www-form-urlencoded";

// For a service that takes many sign-ups at once: no sign-up limit, room
// for the concurrent clients from one address, and no shedding however slow
// a busy machine hashes.
inline const QStringList kRelaxed = {QStringLiteral("--rate"),
                                     QStringLiteral("0"),
                                     QStringLiteral("--max-connections-per-address"),
                                     QStringLiteral("64"),
                                     QStringLiteral("--max-wait"),
                                     QStringLiteral("3600")};

struct Answer
{
    int status = -1; // -1: no answer at all
    QByteArray body;
    QByteArray allow;
    QByteArray retryAfter;
};

Answer send(const QString &baseUrl, const QByteArray &method, const QByteArray &path,
            const QByteArray &contentType, const QByteArray &body);
Answer post(const QString &baseUrl, const QByteArray &body);

// The client's seven fields in its order, values already form-encoded.
using Fields = QList<std::pair<QByteArray, QByteArray>>;
Fields clientFields(const QByteArray &nick);
QByteArray join(const Fields &fields);
QByteArray form(const QByteArray &nick);
// The client's form with one value replaced.
QByteArray formWith(const QByteArray &nick, const QByteArray &key, const QByteArray &value);

QByteArray lastLine(const QByteArray &text);
// The ending of the last log line: "<outcome> <status>".
QByteArray lastOutcome(const QByteArray &log);

} // namespace parlonda::test
