#include "QuizPanel.h"

#include <QFormLayout>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QJsonArray>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

namespace {
const QString kLetters = QStringLiteral("ABCDEF");
const int kMaxChoices = 6;
} // namespace

QuizPanel::QuizPanel(QWidget* parent)
    : QWidget(parent, Qt::Tool)
{
    setObjectName(QStringLiteral("quizPanel"));
    setWindowTitle(QStringLiteral("随堂提问"));
    auto* layout = new QVBoxLayout(this);
    auto* form = new QFormLayout;
    m_choices = new QSpinBox(this);
    m_choices->setRange(2, kMaxChoices);
    m_choices->setValue(4);
    m_text = new QLineEdit(this);
    m_text->setMaxLength(200);
    m_text->setPlaceholderText(QStringLiteral("可选：题目说明"));
    form->addRow(QStringLiteral("选项数(A–F)"), m_choices);
    form->addRow(QStringLiteral("题目"), m_text);
    layout->addLayout(form);

    auto* buttons = new QHBoxLayout;
    m_ask = new QPushButton(QStringLiteral("发布提问"), this);
    m_close = new QPushButton(QStringLiteral("结束答题"), this);
    m_share = new QPushButton(QStringLiteral("公布结果"), this);
    buttons->addWidget(m_ask);
    buttons->addWidget(m_close);
    buttons->addWidget(m_share);
    layout->addLayout(buttons);

    m_state = new QLabel(QStringLiteral("尚未提问"), this);
    layout->addWidget(m_state);
    auto* grid = new QGridLayout;
    for (int i = 0; i < kMaxChoices; ++i) {
        auto* label = new QLabel(this);
        auto* bar = new QProgressBar(this);
        bar->setTextVisible(false);
        bar->setMaximumHeight(12);
        grid->addWidget(label, i, 0);
        grid->addWidget(bar, i, 1);
        m_countLabels << label;
        m_bars << bar;
    }
    layout->addLayout(grid);
    layout->addWidget(new QLabel(QStringLiteral("作答情况"), this));
    m_answerList = new QListWidget(this);
    layout->addWidget(m_answerList, 1);

    connect(m_ask, &QPushButton::clicked, this,
        [this] { emit askRequested(m_choices->value(), m_text->text().trimmed()); });
    connect(m_close, &QPushButton::clicked, this, &QuizPanel::closeRequested);
    connect(m_share, &QPushButton::clicked, this, &QuizPanel::shareRequested);
    resize(340, 460);
    showCounts();
}

void QuizPanel::asked(qint64 quizId, int choices, const QString& text)
{
    m_quizId = quizId;
    m_choiceCount = choices;
    m_closed = false;
    m_counts = QList<int>();
    for (int i = 0; i < choices; ++i)
        m_counts << 0;
    m_answers.clear();
    m_state->setText(text.isEmpty() ? QStringLiteral("答题中") : QStringLiteral("答题中：%1").arg(text));
    showCounts();
}

void QuizPanel::setTally(const QJsonObject& tally)
{
    if (!m_quizId || tally.value(QStringLiteral("quizId")).toVariant().toLongLong() != m_quizId)
        return;
    const QJsonArray counts = tally.value(QStringLiteral("counts")).toArray();
    m_counts.clear();
    for (int i = 0; i < m_choiceCount; ++i)
        m_counts << (i < counts.size() ? counts.at(i).toInt() : 0);
    m_answers.clear();
    const QJsonObject answers = tally.value(QStringLiteral("answers")).toObject();
    for (auto it = answers.constBegin(); it != answers.constEnd(); ++it)
        m_answers.insert(it.key(), it.value().toInt());
    m_closed = tally.value(QStringLiteral("closed")).toBool();
    if (m_closed)
        m_state->setText(QStringLiteral("答题已结束，共%1人作答").arg(m_answers.size()));
    showCounts();
}

int QuizPanel::count(int choice) const
{
    return choice >= 0 && choice < m_counts.size() ? m_counts.at(choice) : 0;
}

QString QuizPanel::answerOf(const QString& userId) const
{
    const auto it = m_answers.constFind(userId);
    return it == m_answers.constEnd() || *it < 0 || *it >= kLetters.size() ? QString() : kLetters.mid(*it, 1);
}

void QuizPanel::showCounts()
{
    const int total = m_answers.size();
    for (int i = 0; i < kMaxChoices; ++i) {
        const bool used = i < m_choiceCount;
        m_countLabels[i]->setVisible(used);
        m_bars[i]->setVisible(used);
        if (!used)
            continue;
        m_countLabels[i]->setText(QStringLiteral("%1：%2人").arg(kLetters.at(i)).arg(count(i)));
        m_bars[i]->setRange(0, qMax(total, 1));
        m_bars[i]->setValue(count(i));
    }
    m_answerList->clear();
    for (auto it = m_answers.constBegin(); it != m_answers.constEnd(); ++it) {
        const QString name = m_nameOf ? m_nameOf(it.key()) : it.key();
        m_answerList->addItem(QStringLiteral("%1：%2").arg(name, answerOf(it.key())));
    }
    m_close->setEnabled(m_quizId && !m_closed);
    m_share->setEnabled(m_quizId != 0);
}
