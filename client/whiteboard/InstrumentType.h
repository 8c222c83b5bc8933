#pragma once

#include <QMetaType>

// The whiteboard tool in use. Clear is never stored: choosing it empties the drawing.
enum InstrumentType { None = 0, Pen, Text, Rectangle, Eraser, Arrow, Pointer, Move, Clear };

Q_DECLARE_METATYPE(InstrumentType)
