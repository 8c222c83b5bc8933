#pragma once

#include <QList>
#include <QPen>
#include <QString>
#include <QStringList>

// The current pen of the drawing tools, shared by the whole process and written by the pen popup.
class PenSettings {
public:
    static QPen setSize(int index);
    static QPen setColor(const QString& color);
    static QPen pen();
    static int sizeIndex();
    static QString color();
    // Back to black, middle size: the state of a fresh process.
    static void reset();

    // Pen width in pixels by size index: small, middle, large.
    static int widthForIndex(int index);
};

// The current text colour and size, shared by the whole process and written by the text popup.
class FontSettings {
public:
    static void setColor(const QString& color);
    static QString color();
    static void setFontSize(int points);
    static int fontSize();
    static void reset();
};

// The colours offered by the pen and text popups, in the order shown.
const QStringList& PaintPalette();
// The text sizes offered by the text popup, in points.
const QList<int>& PaintFontSizes();
