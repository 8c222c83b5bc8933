#include "LiveWire.h"

#include <QtEndian>

namespace livewire {

namespace {
    const int kHeader = 24;
    const quint32 kMaxSide = 8192;
} // namespace

QByteArray encodeFrame(const Frame& frame)
{
    const QByteArray id = frame.id.left(255);
    QByteArray out(kHeader, '\0');
    auto* p = reinterpret_cast<uchar*>(out.data());
    p[0] = 'L';
    p[1] = 'V';
    p[2] = 1;
    p[3] = uchar(frame.srcType);
    p[4] = uchar(frame.format);
    p[5] = uchar(id.size());
    qToBigEndian<quint32>(frame.width, p + 8);
    qToBigEndian<quint32>(frame.height, p + 12);
    qToBigEndian<quint64>(frame.timestampMs, p + 16);
    out.append(id);
    out.append(frame.payload);
    return out;
}

bool decodeFrame(const QByteArray& bytes, Frame* frame)
{
    if (bytes.size() <= kHeader)
        return false;
    const auto* p = reinterpret_cast<const uchar*>(bytes.constData());
    if (p[0] != 'L' || p[1] != 'V' || p[2] != 1)
        return false;
    const int idLen = p[5];
    if (bytes.size() <= kHeader + idLen)
        return false;
    frame->srcType = p[3];
    frame->format = p[4];
    frame->width = qFromBigEndian<quint32>(p + 8);
    frame->height = qFromBigEndian<quint32>(p + 12);
    frame->timestampMs = qFromBigEndian<quint64>(p + 16);
    if (frame->width == 0 || frame->height == 0 || frame->width > kMaxSide || frame->height > kMaxSide)
        return false;
    frame->id = bytes.mid(kHeader, idLen);
    frame->payload = bytes.mid(kHeader + idLen);
    if (frame->format == RawRgb32)
        return qint64(frame->payload.size()) == qint64(frame->width) * frame->height * 4;
    return frame->format == Jpeg;
}

} // namespace livewire
