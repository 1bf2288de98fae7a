#pragma once

#include <QIcon>
#include <QImage>

namespace parlonda {

// The program's own window icon: a speech bubble holding a "P", drawn in
// the 16-colour palette at 32 x 32 and 16 x 16 pixels.
QIcon parlondaIcon();

// One of the two drawings, 32 or 16 pixels square; a null image for any
// other size. Needs no QGuiApplication.
QImage parlondaIconImage(int size);

} // namespace parlonda
