#include "waitingspinnerwidget.h"

#include <QDebug>
#include <QPainter>
#include <QPointer>
#include <QTimer>

#include <algorithm>
#include <cmath>

WaitingSpinnerWidget::WaitingSpinnerWidget(
    QWidget* parent, bool centerOnParent, bool disableParentWhenSpinning)
    : QWidget(parent)
    , m_centerOnParent(centerOnParent)
    , m_disableParentWhenSpinning(disableParentWhenSpinning)
{
    initialize();
}

void WaitingSpinnerWidget::initialize()
{
    m_timer = new QTimer(this);
    connect(m_timer, &QTimer::timeout, this, &WaitingSpinnerWidget::rotate);
    updateSize();
    updateTimer();
    hide();
}

void WaitingSpinnerWidget::paintEvent(QPaintEvent*)
{
    updatePosition();
    QPainter painter(this);
    painter.fillRect(rect(), Qt::transparent);
    painter.setRenderHint(QPainter::Antialiasing, true);

    if (m_currentCounter >= m_numberOfLines)
        m_currentCounter = 0;
    painter.setPen(Qt::NoPen);
    for (int i = 0; i < m_numberOfLines; ++i) {
        painter.save();
        painter.translate(m_innerRadius + m_lineLength, m_innerRadius + m_lineLength);
        painter.rotate(360.0 * i / m_numberOfLines);
        painter.translate(m_innerRadius, 0);
        int distance = m_currentCounter - i;
        if (distance < 0)
            distance += m_numberOfLines;
        const QColor color = currentLineColor(
            distance, m_numberOfLines, m_trailFadePercentage, m_minimumTrailOpacity, m_color);
        painter.setBrush(QBrush(color, Qt::SolidPattern));
        painter.drawRoundedRect(QRect(0, -(m_lineWidth / 2), m_lineLength, m_lineWidth), m_roundness,
            m_roundness, Qt::RelativeSize);
        painter.restore();
    }
}

void WaitingSpinnerWidget::start()
{
    updatePosition();
    m_isSpinning = true;
    show();
    if (parentWidget() && m_disableParentWhenSpinning)
        parentWidget()->setEnabled(false);
    if (!m_timer->isActive()) {
        m_timer->start();
        m_currentCounter = 0;
    }
}

void WaitingSpinnerWidget::stop()
{
    m_isSpinning = false;
    hide();
    qDebug() << "parent:" << parentWidget();
    if (parentWidget() && m_disableParentWhenSpinning)
        parentWidget()->setEnabled(true);
    if (m_timer->isActive()) {
        m_timer->stop();
        m_currentCounter = 0;
    }
}

void WaitingSpinnerWidget::rotate()
{
    ++m_currentCounter;
    if (m_currentCounter >= m_numberOfLines)
        m_currentCounter = 0;
    update();
}

void WaitingSpinnerWidget::setColor(QColor color)
{
    m_color = color;
}

void WaitingSpinnerWidget::setRoundness(qreal roundness)
{
    m_roundness = std::max(0.0, std::min(100.0, roundness));
}

void WaitingSpinnerWidget::setMinimumTrailOpacity(qreal minimumTrailOpacity)
{
    m_minimumTrailOpacity = minimumTrailOpacity;
}

void WaitingSpinnerWidget::setTrailFadePercentage(qreal trail)
{
    m_trailFadePercentage = trail;
}

void WaitingSpinnerWidget::setRevolutionsPerSecond(qreal revolutionsPerSecond)
{
    m_revolutionsPerSecond = revolutionsPerSecond;
    updateTimer();
}

void WaitingSpinnerWidget::setNumberOfLines(int lines)
{
    // At least one line: the counter wraps and the interval divides by this.
    m_numberOfLines = std::max(1, lines);
    m_currentCounter = 0;
    updateTimer();
}

void WaitingSpinnerWidget::setLineLength(int length)
{
    m_lineLength = length;
    updateSize();
}

void WaitingSpinnerWidget::setLineWidth(int width)
{
    m_lineWidth = width;
    updateSize();
}

void WaitingSpinnerWidget::setInnerRadius(int radius)
{
    m_innerRadius = radius;
    updateSize();
}

void WaitingSpinnerWidget::setCurrentCounter(int counter)
{
    m_currentCounter = counter;
}

int WaitingSpinnerWidget::timerIntervalMs() const
{
    const qreal turnsPerSecond = m_numberOfLines * m_revolutionsPerSecond;
    // A spinner told not to turn ticks once a second rather than dividing by zero.
    if (!(turnsPerSecond > 0.0))
        return 1000;
    return static_cast<int>(1000.0 / turnsPerSecond);
}

void WaitingSpinnerWidget::updateSize()
{
    const int size = (m_innerRadius + m_lineLength) * 2;
    setFixedSize(size, size);
}

void WaitingSpinnerWidget::updateTimer()
{
    m_timer->setInterval(timerIntervalMs());
}

void WaitingSpinnerWidget::updatePosition()
{
    if (parentWidget() && m_centerOnParent)
        move(parentWidget()->width() / 2 - width() / 2, parentWidget()->height() / 2 - height() / 2);
}

QColor WaitingSpinnerWidget::currentLineColor(
    int distance, int totalNrOfLines, qreal trailFadePerc, qreal minOpacity, QColor color)
{
    if (distance == 0)
        return color;
    const qreal minAlpha = minOpacity / 100.0;
    const int threshold = static_cast<int>(std::ceil((totalNrOfLines - 1) * trailFadePerc / 100.0));
    if (distance > threshold) {
        color.setAlphaF(std::max(0.0, std::min(1.0, minAlpha)));
        return color;
    }
    const qreal gradient = (color.alphaF() - minAlpha) / (threshold + 1);
    const qreal alpha = color.alphaF() - gradient * distance;
    color.setAlphaF(std::max(0.0, std::min(1.0, alpha)));
    return color;
}

namespace {
// Guarded: a spinner goes with its parent when that window is destroyed first.
QPointer<WaitingSpinnerWidget> g_waitingSpinner;
} // namespace

void ShowWaiting(QWidget* parent)
{
    // A second wait replaces the first; stopping it first re-enables its window.
    HideWaiting();
    auto* spinner = new WaitingSpinnerWidget(parent, true, true);
    g_waitingSpinner = spinner;
    spinner->setRoundness(70.0);
    spinner->setMinimumTrailOpacity(15.0);
    spinner->setTrailFadePercentage(70.0);
    spinner->setNumberOfLines(12);
    spinner->setCurrentCounter(0);
    spinner->setLineLength(10);
    spinner->setLineWidth(5);
    spinner->setInnerRadius(10);
    spinner->setRevolutionsPerSecond(1.0);
    spinner->setColor(QColor(81, 4, 71, 255));
    spinner->start();
}

void HideWaiting()
{
    if (!g_waitingSpinner)
        return;
    WaitingSpinnerWidget* spinner = g_waitingSpinner;
    g_waitingSpinner = nullptr;
    spinner->stop();
    spinner->deleteLater();
}

WaitingSpinnerWidget* CurrentWaitingSpinner()
{
    return g_waitingSpinner;
}
