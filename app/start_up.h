#pragma once

#include "form/fregistrar.h"

#include <QTranslator>

namespace parlonda {

// Everything the program does before its event loop runs: Qt's own texts in
// Spanish, then the form, loaded with the built-in service address and shown.
// The profile goes beside the program, or into the user's data folder for
// it where the program's folder cannot be written. Needs a QApplication
// with its application name set.
class StartUp
{
public:
    explicit StartUp(const QString &serverUrl);
    Fregistrar &form() { return m_form; }

private:
    QTranslator m_qtTexts; // must outlive the form
    Fregistrar m_form;
};

} // namespace parlonda
