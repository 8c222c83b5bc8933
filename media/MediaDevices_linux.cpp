#include "MediaDevices.h"

namespace media {

QString MediaDevices::screenSource(int left, int top, int right, int bottom)
{
    return QStringLiteral("ximagesrc use-damage=false show-pointer=true startx=%1 starty=%2 endx=%3 endy=%4")
        .arg(left)
        .arg(top)
        .arg(right - 1)
        .arg(bottom - 1);
}

} // namespace media
