#pragma once

#include <QRect>
#include <QString>
#include <array>

namespace parlonda {

// Positions and sizes on the form are kept in twips, as the form was drawn;
// 15 twips make one device-independent pixel.
struct Twips
{
    int left, top, width, height;
    QRect toPixels() const { return {left / 15, top / 15, width / 15, height / 15}; }
};

// One row of the field table: a text box of the `txt` array and its label.
struct Field
{
    int index;
    const char16_t *caption; // "&" marks the access key
    const char16_t *tag;     // "si" marks a required box; its label is bold
    char16_t mask;           // shown for every character; 0 for plain text
    bool lowerCaseTyping;    // typed letters are inserted in lower case
    bool inProfile;          // written to the profile line, whose separator is ":"
    Twips box;
    Twips label;

    bool required() const { return tag[0] != u'\0'; }
    // The caption as a screen reader should say it: without the access key mark.
    QString accessibleName() const { return QString::fromUtf16(caption).remove(u'&'); }
};

inline constexpr std::array<Field, 8> kFields = {{
    {0, u"Nick", u"si", 0, true, true, {1080, 240, 1095, 285}, {120, 240, 495, 255}},
    {1, u"Nombres", u"si", 0, false, true, {1080, 600, 3375, 285}, {120, 600, 735, 255}},
    {2, u"Email", u"si", 0, false, true, {1080, 960, 3375, 285}, {120, 960, 735, 255}},
    {3, u"Teléfono", u"", 0, false, true, {1080, 1320, 1215, 285}, {120, 1320, 855, 255}},
    {4, u"Ciudad", u"si", 0, false, true, {1080, 1680, 1215, 285}, {120, 1680, 735, 255}},
    {5, u"País", u"si", 0, false, true, {1080, 2040, 1215, 285}, {120, 2040, 735, 255}},
    {6, u"&Password", u"si", u'*', true, false, {1080, 2400, 1215, 285}, {120, 2400, 855, 255}},
    {7,
     u"Confirma Password",
     u"si",
     u'*',
     true,
     false,
     {3360, 2400, 1215, 285},
     {2400, 2400, 855, 495}},
}};

// Indexes with a meaning of their own to the program.
inline constexpr int kNickBox = 0;
inline constexpr int kEmailBox = 2;
inline constexpr int kPasswordBox = 6;
inline constexpr int kConfirmationBox = 7;

struct Button
{
    const char16_t *caption;
    Twips geometry;
};

// `Ok` index 0 registers, index 1 cancels.
inline constexpr std::array<Button, 2> kButtons = {{
    {u"&Registrar", {960, 2880, 1215, 375}},
    {u"&Cancelar", {2400, 2880, 1215, 375}},
}};

inline constexpr Twips kClientArea{0, 0, 4710, 3330};
inline constexpr const char16_t *kCaption = u"Registro en el servidor parlonda";

} // namespace parlonda
