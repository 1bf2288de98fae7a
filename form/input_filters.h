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
// into the colon-separated profile line.
bool acceptsCharacter(const Field &field, QChar c);

// The text without the characters the box refuses. *cursor, when given, is
// a position in the text and is moved back by the characters removed before it.
QString acceptedText(const Field &field, QStringView text, qsizetype *cursor = nullptr);

// Leaving the e-mail box keeps its text only when it holds an "@" somewhere.
bool emailKeepsText(QStringView text);

} // namespace parlonda
