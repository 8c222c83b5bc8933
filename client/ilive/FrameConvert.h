#pragma once

#include "ilive.h"

#include <QByteArray>
#include <QImage>

namespace frameconvert {

// Pixels in the service's colour format: RGB32 (0xAARRGGBB words) or I420 (Y, then U and V at
// half resolution; odd sizes round up).
QByteArray fromImage(const QImage& image, ilive::E_ColorFormat format);
// A deep copy as RGB32; a null image when the frame is inconsistent.
QImage toImage(const ilive::LiveVideoFrame& frame);

} // namespace frameconvert
