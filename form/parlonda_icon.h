#pragma once

#include <QIcon>

namespace parlonda {

// The program's own window icon: a speech bubble holding a "P", drawn in
// the 16-colour palette at 32 x 32 and 16 x 16 pixels.
QIcon parlondaIcon();

} // namespace parlonda
