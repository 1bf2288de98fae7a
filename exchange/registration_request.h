#pragma once

#include <QByteArray>
#include <QLatin1StringView>
#include <QString>
#include <QStringList>
#include <QStringView>
#include <QUrl>

namespace parlonda {

// Path of the service's registration script below its base address.
inline constexpr QLatin1StringView kRegistrationScript{"/cgi-bin/regnick.pl"};

// The script's address: the base address (scheme and host, no trailing "/")
// followed directly by the script path.
QUrl registrationUrl(const QString &serverUrl);

// The one extra header line of the request, without a line break.
QString registrationHeaderText();

// One value as application/x-www-form-urlencoded: its Windows-1252 bytes,
// with ASCII letters, digits and "*-._" kept, a space as "+" and every other
// byte as "%XX" (upper-case hex).
QByteArray formEncode(QStringView value);

// The request body from the form's box texts (index 0 nick ... 6 password).
// All seven keys are always present and in this order; the confirmation box
// (index 7) is never sent. Missing boxes count as empty.
QByteArray registrationBody(const QStringList &boxes);

} // namespace parlonda
