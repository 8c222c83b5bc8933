#include "AutoClosePopup.h"

#include <QPointer>
#include <QTimer>

namespace {
QPointer<AutoClosePopup>& currentPopup()
{
    static QPointer<AutoClosePopup>* popup = new QPointer<AutoClosePopup>;
    return *popup;
}
} // namespace

AutoClosePopup::AutoClosePopup(QWidget* parent)
    : QWidget(parent, Qt::Tool | Qt::FramelessWindowHint)
    , m_timer(new QTimer(this))
{
    connect(m_timer, &QTimer::timeout, this, [this] {
        m_timer->stop();
        close();
    });
}

AutoClosePopup::~AutoClosePopup() = default;

AutoClosePopup* AutoClosePopup::current()
{
    return currentPopup();
}

void AutoClosePopup::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    QPointer<AutoClosePopup>& current = currentPopup();
    if (current && current != this && current->isVisible())
        current->close();
    current = this;
    m_timer->start(kCloseDelayMs);
}

void AutoClosePopup::enterEvent(QEvent* event)
{
    QWidget::enterEvent(event);
    m_timer->stop();
}

void AutoClosePopup::leaveEvent(QEvent* event)
{
    QWidget::leaveEvent(event);
    m_timer->start(kCloseDelayMs);
}
