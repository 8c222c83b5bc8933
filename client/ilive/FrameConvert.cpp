#include "FrameConvert.h"

#include <QtGlobal>

namespace frameconvert {

namespace {
    inline uchar clamp8(int v)
    {
        return uchar(qBound(0, v, 255));
    }
} // namespace

QByteArray fromImage(const QImage& image, ilive::E_ColorFormat format)
{
    const QImage rgb = image.convertToFormat(QImage::Format_RGB32);
    const int w = rgb.width();
    const int h = rgb.height();
    if (format != ilive::COLOR_FORMAT_I420) {
        QByteArray out(w * h * 4, Qt::Uninitialized);
        for (int y = 0; y < h; ++y)
            memcpy(out.data() + y * w * 4, rgb.constScanLine(y), size_t(w) * 4);
        return out;
    }
    const int cw = (w + 1) / 2;
    const int ch = (h + 1) / 2;
    QByteArray out(w * h + 2 * cw * ch, Qt::Uninitialized);
    auto* yp = reinterpret_cast<uchar*>(out.data());
    uchar* up = yp + w * h;
    uchar* vp = up + cw * ch;
    for (int y = 0; y < h; ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(rgb.constScanLine(y));
        for (int x = 0; x < w; ++x) {
            const int r = qRed(line[x]), g = qGreen(line[x]), b = qBlue(line[x]);
            yp[y * w + x] = clamp8(((66 * r + 129 * g + 25 * b + 128) >> 8) + 16);
            if ((y % 2) == 0 && (x % 2) == 0) {
                up[(y / 2) * cw + x / 2] = clamp8(((-38 * r - 74 * g + 112 * b + 128) >> 8) + 128);
                vp[(y / 2) * cw + x / 2] = clamp8(((112 * r - 94 * g - 18 * b + 128) >> 8) + 128);
            }
        }
    }
    return out;
}

QImage toImage(const ilive::LiveVideoFrame& frame)
{
    const int w = int(frame.desc.width);
    const int h = int(frame.desc.height);
    if (!frame.data || w <= 0 || h <= 0)
        return QImage();
    if (frame.desc.colorFormat == ilive::COLOR_FORMAT_RGB32) {
        if (qint64(frame.dataSize) < qint64(w) * h * 4)
            return QImage();
        return QImage(frame.data, w, h, w * 4, QImage::Format_RGB32).copy();
    }
    if (frame.desc.colorFormat != ilive::COLOR_FORMAT_I420)
        return QImage();
    const int cw = (w + 1) / 2;
    const int ch = (h + 1) / 2;
    if (qint64(frame.dataSize) < qint64(w) * h + 2LL * cw * ch)
        return QImage();
    QImage out(w, h, QImage::Format_RGB32);
    const uchar* yp = frame.data;
    const uchar* up = yp + w * h;
    const uchar* vp = up + cw * ch;
    for (int y = 0; y < h; ++y) {
        auto* line = reinterpret_cast<QRgb*>(out.scanLine(y));
        for (int x = 0; x < w; ++x) {
            const int c = yp[y * w + x] - 16;
            const int d = up[(y / 2) * cw + x / 2] - 128;
            const int e = vp[(y / 2) * cw + x / 2] - 128;
            line[x] = qRgb(clamp8((298 * c + 409 * e + 128) >> 8),
                clamp8((298 * c - 100 * d - 208 * e + 128) >> 8), clamp8((298 * c + 516 * d + 128) >> 8));
        }
    }
    return out;
}

} // namespace frameconvert
