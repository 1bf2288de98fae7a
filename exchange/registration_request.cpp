#include "exchange/registration_request.h"

#include "common/cp1252.h"

#include <array>

namespace parlonda {
namespace {

// Keys in the order the script has always received them; the index of a key
// is the index of the box it carries.
constexpr std::array<const char *, 7> kKeys = {"nick",   "nombres", "email", "tel",
                                               "ciudad", "pais",    "paswd"};

bool isUnreserved(unsigned char b)
{
    return (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9') || b == '*' ||
           b == '-' || b == '.' || b == '_';
}

} // namespace

QUrl registrationUrl(const QString &serverUrl)
{
    return QUrl(serverUrl + kRegistrationScript);
}

QString registrationHeaderText()
{
    return QStringLiteral("Content-Type: application/x-www-form-urlencoded");
}

QByteArray formEncode(QStringView value)
{
    // Windows-1252 and not UTF-8: the script has always been sent the bytes of
    // the form's own code page, so "País" must keep arriving as 0xED.
    static constexpr char kHex[] = "0123456789ABCDEF";
    const QByteArray bytes = cp1252::encode(value);
    QByteArray encoded;
    encoded.reserve(bytes.size() * 3);
    for (char ch : bytes) {
        const auto b = static_cast<unsigned char>(ch);
        if (isUnreserved(b)) {
            encoded.append(ch);
        } else if (b == ' ') {
            encoded.append('+');
        } else {
            encoded.append('%');
            encoded.append(kHex[b >> 4]);
            encoded.append(kHex[b & 0x0F]);
        }
    }
    return encoded;
}

QByteArray registrationBody(const QStringList &boxes)
{
    QByteArray body;
    for (std::size_t i = 0; i < kKeys.size(); ++i) {
        if (i > 0)
            body.append('&');
        body.append(kKeys[i]);
        body.append('=');
        body.append(formEncode(boxes.value(static_cast<qsizetype>(i))));
    }
    return body;
}

} // namespace parlonda
