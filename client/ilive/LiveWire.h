#pragma once

// The relay's binary video frame: a 24-byte big-endian header, the sender's id, then the picture.
//   0 'L' 'V'  2 version 1  3 source kind  4 format (1 JPEG, 2 raw RGB32)  5 id length
//   6 reserved (2)  8 width (4)  12 height (4)  16 timestamp ms (8)  24 id  24+n payload

#include <QByteArray>
#include <QString>

namespace livewire {

enum Format { Jpeg = 1, RawRgb32 = 2 };

struct Frame {
    int srcType = 0;
    int format = 0;
    quint32 width = 0;
    quint32 height = 0;
    quint64 timestampMs = 0;
    QByteArray id;
    QByteArray payload;
};

QByteArray encodeFrame(const Frame& frame);
// False for anything that is not a well-formed frame.
bool decodeFrame(const QByteArray& bytes, Frame* frame);

} // namespace livewire
