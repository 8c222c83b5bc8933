#pragma once

#include <QWidget>

class QTimer;

// A small tool window that closes itself one second after it is shown or the pointer leaves it;
// showing one closes the one shown before.
class AutoClosePopup : public QWidget {
    Q_OBJECT
public:
    explicit AutoClosePopup(QWidget* parent = nullptr);
    ~AutoClosePopup() override;

    static constexpr int kCloseDelayMs = 1000;
    QTimer* closeTimer() const { return m_timer; }
    static AutoClosePopup* current();

protected:
    void showEvent(QShowEvent* event) override;
    void enterEvent(QEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    QTimer* m_timer = nullptr;
};
