#include "ColorComboDelegate.h"

#include <QPainter>

ColorComboDelegate::ColorComboDelegate(QObject* parent)
    : QItemDelegate(parent)
{
}

void ColorComboDelegate::paint(
    QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    const QRect r = option.rect;
    const bool hovered = option.state & QStyle::State_MouseOver;
    painter->fillRect(r, QColor(hovered ? QStringLiteral("#666666") : QStringLiteral("#E6E6E6")));
    const QRect swatch(r.left() + 10, r.top() + 3, r.width() - 20, r.height() - 6);
    painter->fillRect(swatch, Qt::white);
    const QRect inner(swatch.left() + 2, swatch.top() + 2, swatch.width() - 4, swatch.height() - 4);
    painter->fillRect(inner, QColor(index.data(Qt::DisplayRole).toString()));
}

QSize ColorComboDelegate::sizeHint(const QStyleOptionViewItem&, const QModelIndex&) const
{
    return QSize(1, 30);
}
