#pragma once

#include <QList>
#include <QMessageBox>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <functional>

// Answers message boxes as they appear (modal or not) and records what they said. The answer is the
// button to press; by default, or where the box has no such button, its own default button, and a
// box with neither is accepted.
class BoxCatcher : public QObject {
    Q_OBJECT
public:
    struct Seen {
        QString title;
        QString text;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        QMessageBox::StandardButtons buttons;
        QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
        QWidget* parent = nullptr;
        bool modal = false;
        bool onTop = false;
    };

    explicit BoxCatcher(QMessageBox::StandardButton answer = QMessageBox::NoButton);
    // onBox runs while the box is up, before it is answered.
    explicit BoxCatcher(std::function<void(QMessageBox*)> onBox);

    void setAnswer(QMessageBox::StandardButton answer) { m_answer = answer; }
    const QList<Seen>& seen() const { return m_seen; }
    QStringList texts() const;
    void clear() { m_seen.clear(); }

private:
    void poll();
    QTimer m_timer;
    QMessageBox::StandardButton m_answer = QMessageBox::NoButton;
    std::function<void(QMessageBox*)> m_onBox;
    QList<Seen> m_seen;
};
