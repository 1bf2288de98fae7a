#include "start_up.h"

#include "form/spanish_texts.h"

#include <QCoreApplication>
#include <QStandardPaths>

namespace parlonda {

StartUp::StartUp(const QString &serverUrl)
    // The profile goes beside the program, where its readers look for it; a
    // copy installed in a folder its user may not write to falls back on the
    // user's own data folder for the program.
    : m_form(FregistrarSettings{
          .serverUrl = serverUrl,
          .profileDirectories = {QCoreApplication::applicationDirPath(),
                                 QStandardPaths::writableLocation(QStandardPaths::AppDataLocation)},
      })
{
    if (!installSpanishTexts(m_qtTexts))
        qWarning("Qt's Spanish texts are not installed; Qt's own buttons will read in English");
    m_form.show();
}

} // namespace parlonda
