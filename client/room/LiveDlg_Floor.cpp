// Raised hands and quick questions in the teacher's room.
#include "LiveDlg.h"

#include "CmdMsgHelper.h"
#include "MemberListItem.h"
#include "QuizPanel.h"
#include "ui_LiveDlg.h"

#include <QDateTime>
#include <QDebug>
#include <QHBoxLayout>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>

QString getNicknameFromSender(const QString& sender);

namespace {
const int kMemberTabIndex = 1;
const int kNoticeMs = 3000;

QString Compact(const QJsonObject& object)
{
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

QJsonObject ParamObject(const QString& param)
{
    return QJsonDocument::fromJson(param.toUtf8()).object();
}
} // namespace

void LiveDlg::SetupFloor()
{
    // All hands down, above the member list.
    auto* bar = new QHBoxLayout;
    bar->setContentsMargins(6, 4, 6, 0);
    bar->addStretch();
    auto* lowerAll = new QPushButton(QStringLiteral("全部放下"), ui->memberTab);
    lowerAll->setObjectName(QStringLiteral("lowerAllHandsButton"));
    lowerAll->setToolTip(QStringLiteral("放下所有学生的举手"));
    bar->addWidget(lowerAll);
    ui->memberLayout->insertLayout(0, bar);
    connect(lowerAll, &QPushButton::clicked, this, &LiveDlg::LowerAllHands);

    m_quiz = new QuizPanel(this);
    m_quiz->setNames([](const QString& userId) { return getNicknameFromSender(userId); });
    connect(m_quiz, &QuizPanel::askRequested, this, &LiveDlg::OpenQuiz);
    connect(m_quiz, &QuizPanel::closeRequested, this, &LiveDlg::CloseQuiz);
    connect(m_quiz, &QuizPanel::shareRequested, this, &LiveDlg::ShareQuiz);
    auto* quizButton = new QPushButton(QStringLiteral("随堂提问"), ui->tool);
    quizButton->setObjectName(QStringLiteral("quizButton"));
    quizButton->setCursor(Qt::PointingHandCursor);
    ui->toolLayout->insertWidget(ui->toolLayout->indexOf(ui->pauseButton) + 1, quizButton);
    connect(quizButton, &QPushButton::clicked, this, [this] {
        m_quiz->show();
        m_quiz->raise();
    });

    m_floorNotice = new QLabel(this);
    m_floorNotice->setObjectName(QStringLiteral("floorNotice"));
    m_floorNotice->setStyleSheet(QStringLiteral(
        "background:rgba(251,146,59,230);color:white;padding:6px 16px;border-radius:4px;font-size:14px;"));
    m_floorNotice->setAttribute(Qt::WA_TransparentForMouseEvents);
    m_floorNotice->hide();
    m_floorNoticeTimer = new QTimer(this);
    m_floorNoticeTimer->setSingleShot(true);
    connect(m_floorNoticeTimer, &QTimer::timeout, m_floorNotice, &QWidget::hide);
}

void LiveDlg::DecorateMemberRow(MemberListItem* row, QListWidgetItem* item)
{
    Q_UNUSED(item);
    row->SetHandRaised(m_hands.contains(row->GetUserId()));
    connect(row, &MemberListItem::HandClicked, this, &LiveDlg::LowerHand);
}

void LiveDlg::UpdateMemberTabTitle()
{
    const int members = ui->memberListWidget->count();
    ui->tabWidget->setTabText(kMemberTabIndex,
        m_hands.isEmpty() ? QStringLiteral("成员(%1人)").arg(members)
                          : QStringLiteral("成员(%1人)举手%2").arg(members).arg(m_hands.size()));
}

void LiveDlg::SetHandRaised(const QString& userId, bool up)
{
    if (userId.isEmpty() || m_hands.contains(userId) == up)
        return;
    if (up)
        m_hands.insert(userId);
    else
        m_hands.remove(userId);
    QListWidget* list = ui->memberListWidget;
    for (int i = 0; i < list->count(); ++i)
        if (auto* row = qobject_cast<MemberListItem*>(list->itemWidget(list->item(i))))
            if (row->GetUserId() == userId)
                row->SetHandRaised(up);
    UpdateMemberTabTitle();
}

void LiveDlg::LowerHand(const QString& userId)
{
    if (!IsHandRaised(userId))
        return;
    SetHandRaised(userId, false);
    CmdMsgHelper::sendC2CCmdMessage(userId, CmdLowerHand, Compact({ { "userId", userId } }));
}

void LiveDlg::LowerAllHands()
{
    const QSet<QString> raised = m_hands;
    for (const QString& userId : raised)
        SetHandRaised(userId, false);
    CmdMsgHelper::sendGroupCmdMessage(CmdLowerAllHands, QString());
}

void LiveDlg::ShowFloorNotice(const QString& text)
{
    m_floorNotice->setText(text);
    m_floorNotice->adjustSize();
    // Over the member and discussion tabs, never over the board a screen share may be showing.
    const QRect tabs(ui->tabWidget->mapTo(this, QPoint(0, 0)), ui->tabWidget->size());
    m_floorNotice->move(tabs.center().x() - m_floorNotice->width() / 2, tabs.top() + 40);
    m_floorNotice->raise();
    m_floorNotice->show();
    m_floorNoticeTimer->start(kNoticeMs);
}

QString LiveDlg::FloorNotice() const
{
    return m_floorNotice && m_floorNotice->isVisible() ? m_floorNotice->text() : QString();
}

void LiveDlg::OpenQuiz(int choices, const QString& text)
{
    // Ids only need to differ within the live; the clock gives new ones after a restart too.
    m_quizId = qMax(m_quizId + 1, QDateTime::currentMSecsSinceEpoch());
    m_quiz->asked(m_quizId, choices, text);
    CmdMsgHelper::sendGroupCmdMessage(
        CmdQuizOpen, Compact({ { "quizId", double(m_quizId) }, { "choices", choices }, { "text", text } }));
    AddMessage(QStringLiteral("我"), QStringLiteral("发布了随堂提问"), false);
}

void LiveDlg::CloseQuiz()
{
    if (m_quizId)
        CmdMsgHelper::sendGroupCmdMessage(CmdQuizClose, Compact({ { "quizId", double(m_quizId) } }));
}

void LiveDlg::ShareQuiz()
{
    if (m_quizId)
        CmdMsgHelper::sendGroupCmdMessage(CmdQuizShare, Compact({ { "quizId", double(m_quizId) } }));
}

bool LiveDlg::HandleFloorCommand(
    const QString& sender, int action, const QString& param, const QString& nickname)
{
    switch (action) {
    case CmdRaiseHand:
        if (sender.isEmpty() || IsHandRaised(sender))
            return true;
        SetHandRaised(sender, true);
        AddMessage(nickname, QStringLiteral("举手"), false);
        ShowFloorNotice(QStringLiteral("%1 举手了").arg(nickname));
        return true;
    case CmdLowerHand:
        SetHandRaised(sender, false);
        return true;
    case CmdQuizTally:
        // Counted by the server: only the relay's own message (no sender) carries them.
        if (sender.isEmpty())
            m_quiz->setTally(ParamObject(param));
        else
            qWarning().noquote() << "counts refused: sent by" << sender;
        return true;
    default:
        return false;
    }
}
