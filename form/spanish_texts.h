#pragma once

class QTranslator;

namespace parlonda {

// Makes Qt's own texts Spanish (Spain) too: the OK button of a message, a
// box's context menu. Loads Qt's translation into `translator` and installs
// it; false when Qt's Spanish texts are not installed.
bool installSpanishTexts(QTranslator &translator);

} // namespace parlonda
