#include "PaintSettings.h"

#include <QColor>

namespace {

constexpr int kPenWidthTable[] = { 1, 3, 5 };

struct PenState {
    int sizeIndex = 1;
    QString color = QStringLiteral("#000000");
    QPen pen { QColor(QStringLiteral("#000000")), qreal(kPenWidthTable[1]) };
};

struct FontState {
    QString color = QStringLiteral("#000000");
    int fontSize = 9;
};

// Created on first use and never destroyed: the process ends without tearing them down.
PenState& penState()
{
    static PenState* state = new PenState;
    return *state;
}

FontState& fontState()
{
    static FontState* state = new FontState;
    return *state;
}

} // namespace

int PenSettings::widthForIndex(int index)
{
    // An index outside the table keeps the middle width rather than reading past it.
    if (index < 0 || index > 2)
        return kPenWidthTable[1];
    return kPenWidthTable[index];
}

QPen PenSettings::setSize(int index)
{
    PenState& s = penState();
    s.sizeIndex = index;
    s.pen.setWidth(widthForIndex(index));
    return s.pen;
}

QPen PenSettings::setColor(const QString& color)
{
    PenState& s = penState();
    s.color = color;
    s.pen.setColor(QColor(color));
    return s.pen;
}

QPen PenSettings::pen()
{
    return penState().pen;
}

int PenSettings::sizeIndex()
{
    return penState().sizeIndex;
}

QString PenSettings::color()
{
    return penState().color;
}

void PenSettings::reset()
{
    penState() = PenState();
}

void FontSettings::setColor(const QString& color)
{
    fontState().color = color;
}

QString FontSettings::color()
{
    return fontState().color;
}

void FontSettings::setFontSize(int points)
{
    fontState().fontSize = points;
}

int FontSettings::fontSize()
{
    return fontState().fontSize;
}

void FontSettings::reset()
{
    fontState() = FontState();
}

const QStringList& PaintPalette()
{
    static const QStringList* palette = new QStringList { QStringLiteral("#FF3537"),
        QStringLiteral("#FF6599"), QStringLiteral("#D05CC5"), QStringLiteral("#00A9CC"),
        QStringLiteral("#00A056"), QStringLiteral("#FBC76D"), QStringLiteral("#FB6445"),
        QStringLiteral("#979797"), QStringLiteral("#040404"), QStringLiteral("#FFFFFF") };
    return *palette;
}

const QList<int>& PaintFontSizes()
{
    static const QList<int>* sizes = [] {
        auto* list = new QList<int>;
        for (int size = 9; size <= 20; ++size)
            list->append(size);
        return list;
    }();
    return *sizes;
}
