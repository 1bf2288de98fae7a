#pragma once

#include <QByteArrayView>
#include <QString>
#include <QStringView>

namespace parlonda {

// Only this much of the response body is ever looked at.
inline constexpr qsizetype kReplyChunkSize = 1024;

// The reply text: the first kReplyChunkSize bytes of the response body,
// decoded as Windows-1252.
QString replyText(QByteArrayView body);

enum class ReplyOutcome { NickTaken, Registered };

// Exactly "Error" (whole text, case-sensitive) means the nick is taken;
// anything else, an empty reply included, means the account was created.
ReplyOutcome classifyReply(QStringView reply);

} // namespace parlonda
