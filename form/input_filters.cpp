#include "input_filters.h"

#include "common/cp1252.h"
#include "common/nick_rules.h"

namespace parlonda {

QChar typedCharacter(const Field &field, QChar typed)
{
    // Every Windows-1252 capital has its small letter in Windows-1252 too.
    return field.lowerCaseTyping ? typed.toLower() : typed;
}

bool acceptsCharacter(const Field &field, QChar c)
{
    if (c.category() == QChar::Other_Control || !cp1252::canEncode(c))
        return false;
    if (field.index == kNickBox)
        return isNickCharacter(c);
    return !(field.inProfile && c == u':');
}

qsizetype maxCharacters(const Field &field)
{
    return field.index == kNickBox ? kMaxNickCharacters : 0;
}

QString acceptedText(const Field &field, QStringView text, qsizetype *cursor)
{
    QString kept;
    kept.reserve(text.size());
    const qsizetype cursorAt = cursor ? *cursor : 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (acceptsCharacter(field, text[i]))
            kept.append(text[i]);
        else if (cursor && i < cursorAt)
            --*cursor;
    }
    const qsizetype limit = maxCharacters(field);
    if (limit > 0 && kept.size() > limit) {
        const qsizetype excess = kept.size() - limit;
        // Just before the cursor, or from the start if the cursor is nearer.
        const qsizetype end = cursor ? qMax(*cursor, excess) : kept.size();
        kept.remove(end - excess, excess);
        if (cursor)
            *cursor = end - excess;
    }
    return kept;
}

bool emailKeepsText(QStringView text)
{
    return text.contains(u'@');
}

} // namespace parlonda
