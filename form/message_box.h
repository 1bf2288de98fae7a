#pragma once

#include <QString>

class QWidget;

namespace parlonda {

// Caption of every message the program shows.
inline constexpr const char16_t *kApplicationTitle = u"Parlonda";

// A modal message with an OK button only and no icon; returns when the user
// has closed it.
void showMessage(QWidget *parent, const QString &text);

} // namespace parlonda
