#pragma once

// Platform headers use two of the tool names: X11's X.h defines None as a macro, and the Windows
// GDI declares a global function Rectangle. The macro is lifted here (no translation unit of ours
// needs it); the enumerators live in a namespace that a using-directive opens, so a GDI
// declaration seen afterwards does not collide with them.
#ifdef None
#undef None
#endif

#include <QMetaType>

namespace whiteboard {
// The whiteboard tool in use. Clear is never stored: choosing it empties the drawing. Laser
// points without drawing: its trail fades and is never part of the page.
enum InstrumentType { None = 0, Pen, Text, Rectangle, Eraser, Arrow, Pointer, Move, Clear, Laser };
} // namespace whiteboard

using whiteboard::InstrumentType;
using namespace whiteboard;

Q_DECLARE_METATYPE(InstrumentType)
