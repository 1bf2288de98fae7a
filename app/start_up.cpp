#include "start_up.h"

#include "form/spanish_texts.h"

#include <QCoreApplication>

namespace parlonda {

StartUp::StartUp(const QString &serverUrl)
    : m_form(FregistrarSettings{serverUrl, QCoreApplication::applicationDirPath()})
{
    if (!installSpanishTexts(m_qtTexts))
        qWarning("Qt's Spanish texts are not installed; Qt's own buttons will read in English");
    m_form.show();
}

} // namespace parlonda
