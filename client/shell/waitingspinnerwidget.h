#pragma once

#include <QColor>
#include <QWidget>

class QTimer;

// A spinner of rotating, fading lines laid over a window while it waits.
class WaitingSpinnerWidget : public QWidget {
    Q_OBJECT
public:
    explicit WaitingSpinnerWidget(
        QWidget* parent = nullptr, bool centerOnParent = true, bool disableParentWhenSpinning = true);

    void setColor(QColor color);
    void setRoundness(qreal roundness);
    void setMinimumTrailOpacity(qreal minimumTrailOpacity);
    void setTrailFadePercentage(qreal trail);
    void setRevolutionsPerSecond(qreal revolutionsPerSecond);
    void setNumberOfLines(int lines);
    void setLineLength(int length);
    void setLineWidth(int width);
    void setInnerRadius(int radius);
    void setCurrentCounter(int counter);

    QColor color() const { return m_color; }
    qreal roundness() const { return m_roundness; }
    qreal minimumTrailOpacity() const { return m_minimumTrailOpacity; }
    qreal trailFadePercentage() const { return m_trailFadePercentage; }
    qreal revolutionsPersSecond() const { return m_revolutionsPerSecond; }
    int numberOfLines() const { return m_numberOfLines; }
    int lineLength() const { return m_lineLength; }
    int lineWidth() const { return m_lineWidth; }
    int innerRadius() const { return m_innerRadius; }
    int currentCounter() const { return m_currentCounter; }
    bool isSpinning() const { return m_isSpinning; }
    int timerIntervalMs() const;

    static QColor currentLineColor(
        int distance, int totalNrOfLines, qreal trailFadePerc, qreal minOpacity, QColor color);

public slots:
    void start();
    void stop();
    void rotate();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void initialize();
    void updateSize();
    void updateTimer();
    void updatePosition();

    QColor m_color = Qt::black;
    qreal m_roundness = 100.0;
    qreal m_minimumTrailOpacity = 3.141592653589793;
    qreal m_trailFadePercentage = 80.0;
    qreal m_revolutionsPerSecond = 1.5707963267948966;
    int m_numberOfLines = 20;
    int m_lineLength = 10;
    int m_lineWidth = 2;
    int m_innerRadius = 10;
    QTimer* m_timer = nullptr;
    bool m_centerOnParent = true;
    bool m_disableParentWhenSpinning = true;
    int m_currentCounter = 0;
    bool m_isSpinning = false;
};

// The one shared waiting indicator.
void ShowWaiting(QWidget* parent);
void HideWaiting();
WaitingSpinnerWidget* CurrentWaitingSpinner();
