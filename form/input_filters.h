#pragma once

#include "form/field_table.h"

#include <QChar>
#include <QString>
#include <QStringView>

namespace parlonda {

// The character a box inserts for one typed character: the nick and the two
// password boxes take typed letters in lower case, so that the passwords can
// be compared character for character. Pasted text is not changed.
QChar typedCharacter(const Field &field, QChar typed);

// Whether a box takes a character at all, typed or pasted. Only text that
// the service and the profile file carry unchanged gets in: Windows-1252
// characters without control characters; and no ":" in the boxes that go
// into the colon-separated profile line. The nick box takes only what the
// service's nick rules allow: no whitespace of any kind, no invisible or
// format character such as the soft hyphen.
bool acceptsCharacter(const Field &field, QChar c);

// The most characters a box holds; 0 for no limit of its own.
qsizetype maxCharacters(const Field &field);

// The text without the characters the box refuses, and cut to the box's
// length. *cursor, when given, is where an insertion into the text ended
// (the cursor after it): what is too long is cut from just before it, so
// that a paste keeps the part that fits, as a browser's limited field does.
// The cursor moves back by the characters removed before it.
QString acceptedText(const Field &field, QStringView text, qsizetype *cursor = nullptr);

// Leaving the e-mail box keeps its text only when it holds an "@" somewhere.
bool emailKeepsText(QStringView text);

} // namespace parlonda
