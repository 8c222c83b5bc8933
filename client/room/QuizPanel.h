#pragma once

#include <QJsonObject>
#include <QMap>
#include <QString>
#include <QWidget>

#include <functional>

class QLabel;
class QLineEdit;
class QListWidget;
class QProgressBar;
class QPushButton;
class QSpinBox;

// The teacher's quick question: two to six choices (A-F) with an optional line of text, asked,
// closed and shared from here. The counts and who answered what are shown as lectern-server
// counted them (the relay's tally), never as anyone's client claims.
class QuizPanel : public QWidget {
    Q_OBJECT
public:
    explicit QuizPanel(QWidget* parent = nullptr);

    // The name shown for an answering member.
    void setNames(std::function<QString(const QString& userId)> nameOf) { m_nameOf = std::move(nameOf); }
    // A new question was asked: its counts start empty.
    void asked(qint64 quizId, int choices, const QString& text);
    // The counted state of a question; one for another question than the one asked is ignored.
    void setTally(const QJsonObject& tally);

    int count(int choice) const;
    int answered() const { return m_answers.size(); }
    // "A", "B", ... of a member's answer; empty for none.
    QString answerOf(const QString& userId) const;
    bool isClosed() const { return m_closed; }

    QSpinBox* choicesBox() const { return m_choices; }
    QLineEdit* textEdit() const { return m_text; }
    QPushButton* askButton() const { return m_ask; }
    QPushButton* closeButton() const { return m_close; }
    QPushButton* shareButton() const { return m_share; }
    QListWidget* answerList() const { return m_answerList; }

signals:
    void askRequested(int choices, const QString& text);
    void closeRequested();
    void shareRequested();

private:
    void showCounts();

    std::function<QString(const QString&)> m_nameOf;
    QSpinBox* m_choices = nullptr;
    QLineEdit* m_text = nullptr;
    QPushButton* m_ask = nullptr;
    QPushButton* m_close = nullptr;
    QPushButton* m_share = nullptr;
    QLabel* m_state = nullptr;
    QList<QLabel*> m_countLabels;
    QList<QProgressBar*> m_bars;
    QListWidget* m_answerList = nullptr;
    qint64 m_quizId = 0;
    int m_choiceCount = 0;
    bool m_closed = false;
    QList<int> m_counts;
    QMap<QString, int> m_answers;
};
