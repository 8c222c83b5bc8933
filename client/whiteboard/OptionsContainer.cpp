#include "OptionsContainer.h"

#include <QApplication>
#include <QBitmap>
#include <QMouseEvent>
#include <QWindow>
#include <QPainter>
#include <QPixmap>
#include <QVBoxLayout>

namespace {
constexpr int kPointerHeight = 6;
}

OptionsContainer::OptionsContainer(QWidget* parent)
    : QWidget(parent)
{
}

void OptionsContainer::setContent(QWidget* content, QWidget* anchor)
{
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, kPointerHeight);
    layout->addWidget(content);

    const QSize hint = sizeHint();
    const QPoint global = anchor->mapToGlobal(QPoint((anchor->width() - hint.width()) / 2, -hint.height()));
    // Near the left screen edge the bubble is pushed back in; its point still finds the button.
    move(global.x() > 0 ? global.x() : 0, global.y() - 2);
    m_arrowX = mapFromGlobal(anchor->mapToGlobal(QPoint(anchor->width() / 2, 0))).x();
    updateMask();
    update();
}

QPainterPath OptionsContainer::bubblePath() const
{
    const qreal w = width();
    const qreal h = height() - kPointerHeight;
    QPainterPath path;
    path.moveTo(w, 10);
    path.arcTo(QRectF(w - 10, 0, 10, 10), 0, 90);
    path.lineTo(10, 0);
    path.arcTo(QRectF(0, 0, 10, 10), 90, 90);
    path.lineTo(0, h - 10);
    path.arcTo(QRectF(0, h - 10, 10, 10), 180, 90);
    path.lineTo(m_arrowX - 6, h);
    path.lineTo(m_arrowX, h + kPointerHeight);
    path.lineTo(m_arrowX + 6, h);
    path.lineTo(w - 10, h);
    path.arcTo(QRectF(w - 10, h - 10, 10, 10), 270, 90);
    path.closeSubpath();
    return path;
}

void OptionsContainer::updateMask()
{
    if (size().isEmpty())
        return;
    QPixmap shape(size());
    shape.fill(Qt::transparent);
    QPainter painter(&shape);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.fillPath(bubblePath(), Qt::black);
    painter.end();
    setMask(shape.mask());
}

void OptionsContainer::mousePressEvent(QMouseEvent* event)
{
    if (rect().contains(event->pos())) {
        QWidget::mousePressEvent(event);
        return;
    }
    // The press that closes the bubble is meant for what lies under it (the board starts its
    // stroke with it), so it is handed on once the bubble is gone; the window system is kept
    // from handing it on a second time.
    setAttribute(Qt::WA_NoMouseReplay);
    const QPoint global = event->globalPos();
    close();
    QWidget* target = QApplication::widgetAt(global);
    QWindow* window = target ? target->window()->windowHandle() : nullptr;
    if (!window)
        return;
    const QPointF local = window->mapFromGlobal(global);
    QApplication::postEvent(window,
        new QMouseEvent(QEvent::MouseButtonPress, local, local, global, event->button(), event->buttons(),
            event->modifiers(), Qt::MouseEventSynthesizedByApplication));
}

void OptionsContainer::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    updateMask();
}

void OptionsContainer::paintEvent(QPaintEvent* event)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(QColor(160, 160, 160), 4, Qt::SolidLine, Qt::SquareCap, Qt::BevelJoin));
    painter.setBrush(QColor(242, 242, 242));
    painter.drawPath(bubblePath());
    painter.end();
    QWidget::paintEvent(event);
}
