#pragma once

#include <QItemDelegate>

// Paints each row of a colour list as a swatch of the colour its text names.
class ColorComboDelegate : public QItemDelegate {
    Q_OBJECT
public:
    explicit ColorComboDelegate(QObject* parent = nullptr);

    void paint(
        QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
};
