#pragma once

#include <QPainterPath>
#include <QWidget>

// The speech-bubble popup that holds an options widget, its point touching the button below.
class OptionsContainer : public QWidget {
    Q_OBJECT
public:
    explicit OptionsContainer(QWidget* parent = nullptr);

    void setContent(QWidget* content, QWidget* anchor);
    int arrowX() const { return m_arrowX; }
    QPainterPath bubblePath() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void updateMask();

    int m_arrowX = 0;
};
