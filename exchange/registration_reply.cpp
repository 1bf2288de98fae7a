#include "exchange/registration_reply.h"

#include "common/cp1252.h"

#include <QLatin1StringView>

namespace parlonda {

QString replyText(QByteArrayView body)
{
    return cp1252::decode(body.first(qMin(body.size(), kReplyChunkSize)));
}

ReplyOutcome classifyReply(QStringView reply)
{
    // The script answers nothing but this word when the nick exists; it is
    // compared whole and case-sensitively, so "Error\r\n" or an HTML error
    // page from the web server count as success, as they always have.
    return reply == QLatin1StringView("Error") ? ReplyOutcome::NickTaken : ReplyOutcome::Registered;
}

} // namespace parlonda
