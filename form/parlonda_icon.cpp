#include "parlonda_icon.h"

#include <QPixmap>

namespace parlonda {
namespace {

// clang-format off
const char *const kIcon32[] = {
    "32 32 4 1",
    "  c None",
    "# c #000080",
    "b c #0000FF",
    ". c #FFFFFF",
    "                                ",
    "                                ",
    "     #####################      ",
    "   ##bbbbbbbbbbbbbbbbbbbbb##    ",
    "  #bbbbbbbbbbbbbbbbbbbbbbbbb#   ",
    "  #bbbbbbbbbbbbbbbbbbbbbbbbb#   ",
    " #bbbbbbbbb.........bbbbbbbbb#  ",
    " #bbbbbbbbb...........bbbbbbb#  ",
    " #bbbbbbbbb...........bbbbbbb#  ",
    " #bbbbbbbbb...bbbbb...bbbbbbb#  ",
    " #bbbbbbbbb...bbbbb...bbbbbbb#  ",
    " #bbbbbbbbb...bbbbb...bbbbbbb#  ",
    " #bbbbbbbbb...........bbbbbbb#  ",
    " #bbbbbbbbb...........bbbbbbb#  ",
    " #bbbbbbbbb.........bbbbbbbbb#  ",
    " #bbbbbbbbb...bbbbbbbbbbbbbbb#  ",
    " #bbbbbbbbb...bbbbbbbbbbbbbbb#  ",
    " #bbbbbbbbb...bbbbbbbbbbbbbbb#  ",
    "  #bbbbbbbb...bbbbbbbbbbbbbb#   ",
    "  #bbbbbbbbbbbbbbbbbbbbbbbbb#   ",
    "   ##bbbbbbbbbbbbbbbbbbbbb##    ",
    "     #bbbbb###############      ",
    "     #bbbb#                     ",
    "     #bbb#                      ",
    "     #bb#                       ",
    "     #b#                        ",
    "     ##                         ",
    "    ##                          ",
    "    #                           ",
    "                                ",
    "                                ",
    "                                "
};
const char *const kIcon16[] = {
    "16 16 4 1",
    "  c None",
    "# c #000080",
    "b c #0000FF",
    ". c #FFFFFF",
    "                ",
    "  ############  ",
    " #bbbbbbbbbbbb# ",
    " #bbb.....bbbb# ",
    "#bbbb..bb..bbb# ",
    "#bbbb..bb..bbb# ",
    "#bbbb.....bbbb# ",
    "#bbbb..bbbbbbb# ",
    " #bbb..bbbbbbb# ",
    " #bbb..bbbbbbb# ",
    "  #bb#########  ",
    "   ##           ",
    "  ##            ",
    "  #             ",
    "                ",
    "                "
};
// clang-format on

} // namespace

QIcon parlondaIcon()
{
    QIcon icon;
    icon.addPixmap(QPixmap(kIcon32));
    icon.addPixmap(QPixmap(kIcon16));
    return icon;
}

QImage parlondaIconImage(int size)
{
    switch (size) {
    case 32:
        return QImage(kIcon32);
    case 16:
        return QImage(kIcon16);
    default:
        return {};
    }
}

} // namespace parlonda
