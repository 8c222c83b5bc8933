#include "MediaDevices.h"

namespace media {

QString MediaDevices::screenSource(int left, int top, int right, int bottom)
{
    return QStringLiteral("gdiscreencapsrc x=%1 y=%2 width=%3 height=%4 cursor=true")
        .arg(left)
        .arg(top)
        .arg(right - left)
        .arg(bottom - top);
}

} // namespace media
