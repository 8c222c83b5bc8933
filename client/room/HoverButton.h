#pragma once

#include <QPushButton>

class AutoClosePopup;
class QSlider;

// Tool-bar button with a vertical volume slider that pops up above it while it is checked.
class HoverButton : public QPushButton {
    Q_OBJECT
public:
    explicit HoverButton(QWidget* parent = nullptr);

    QSlider* slider() const { return m_slider; }
    AutoClosePopup* popup() const { return m_popup; }

    void ShowPopup();

signals:
    void checkChanged();

protected:
    void enterEvent(QEvent* event) override;

private:
    void OnClicked();

    AutoClosePopup* m_popup = nullptr;
    QSlider* m_slider = nullptr;
};
