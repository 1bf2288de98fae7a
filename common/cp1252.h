#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringView>

// Windows-1252, the character set of the form's texts, of what the
// registration service receives and of the profile file. Qt only offers it
// through ICU, so the program carries its own table.
namespace parlonda::cp1252 {

// True when the character has a Windows-1252 byte. The five bytes that
// Windows-1252 leaves undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D) stand for the
// control characters of the same value, as Windows decodes them.
bool canEncode(QChar c);

// True when every character of the text has a Windows-1252 byte.
bool canEncode(QStringView text);

// The text's Windows-1252 bytes; a character without one becomes "?".
QByteArray encode(QStringView text);

// Every byte sequence decodes: each byte is one character.
QString decode(QByteArrayView bytes);

} // namespace parlonda::cp1252
