#include "LiveListItem.h"

#include "LiveListDlg.h"
#include "shell/Util.h"
#include "ui_LiveListItem.h"

#include <QDateTime>
#include <QPixmap>
#include <QPushButton>

LiveListItem::LiveListItem(const QVariantMap& data, QWidget* parent)
    : QWidget(parent)
    , ui(new Ui::LiveListItem)
{
    ui->setupUi(this);
    ui->coverLabel->setPixmap(Cover());
    connect(ui->startButton, &QPushButton::clicked, this, &LiveListItem::OnStartButtonClick);
    m_attendance = new QPushButton(QStringLiteral("出勤"), ui->container);
    m_attendance->setObjectName(QStringLiteral("attendanceButton"));
    m_attendance->setCursor(Qt::PointingHandCursor);
    m_attendance->setStyleSheet(QStringLiteral(
        "color:#0097F7;padding:12px 20px;border:1px solid #0097F7;border-radius:23px;background:white"));
    m_attendance->hide();
    ui->containerLayout->insertWidget(ui->containerLayout->indexOf(ui->startButton), m_attendance);
    connect(m_attendance, &QPushButton::clicked, this, [this] { emit AttendanceClicked(m_data); });
    m_replay = new QPushButton(QStringLiteral("回放"), ui->container);
    m_replay->setObjectName(QStringLiteral("replayButton"));
    m_replay->setCursor(Qt::PointingHandCursor);
    m_replay->setToolTip(QStringLiteral("在浏览器中观看这节课的回放"));
    m_replay->setStyleSheet(m_attendance->styleSheet());
    m_replay->hide();
    ui->containerLayout->insertWidget(ui->containerLayout->indexOf(m_attendance), m_replay);
    connect(m_replay, &QPushButton::clicked, this, [this] { emit ReplayClicked(m_data); });
    SetData(data);
}

LiveListItem::~LiveListItem() = default;

const QPixmap& LiveListItem::Cover()
{
    // Every row shows the same picture: scale it once and share it; never destroyed, like the lobby.
    static const QPixmap* cover
        = new QPixmap(QPixmap(QStringLiteral(":/Lectern/Resources/defaultcover.png"))
                          .scaled(200, 112, Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
    return *cover;
}

void LiveListItem::SetData(const QVariantMap& data)
{
    m_data = data;
    ui->titleLabel->setText(data.value(QStringLiteral("title")).toString());
    ui->remarkLabel->setText(data.value(QStringLiteral("remark")).toString());
    ui->timeLabel->setText(TimeText(data.value(QStringLiteral("startTime")).toLongLong(),
        data.value(QStringLiteral("endTime")).toLongLong()));
    const int state = data.value(QStringLiteral("ending")).toBool() ? kEnding : LiveListDlg::LiveState(data);
    if (state != m_state) {
        // Re-polishing a style sheet is the costly part of a row; skip it when nothing changed.
        m_state = state;
        ui->startButton->setStyleSheet(ButtonStyle(state));
        ui->startButton->setText(ButtonText(state));
        m_attendance->setVisible(state != 0);
    }
    m_replay->setVisible(state == 2 && !data.value(QStringLiteral("replayUrl")).toString().isEmpty());
}

QString LiveListItem::TimeText(qint64 startMs, qint64 endMs)
{
    static const QString kDateTimeFormat = QStringLiteral("yyyy年MM月dd日 hh:mm");
    const QDateTime start = QDateTime::fromMSecsSinceEpoch(startMs);
    const QDateTime end = QDateTime::fromMSecsSinceEpoch(endMs);
    const QString endText
        = end.date() == start.date() ? end.toString(QStringLiteral("hh:mm")) : end.toString(kDateTimeFormat);
    return QStringLiteral("直播时间：") + start.toString(kDateTimeFormat) + QStringLiteral("~") + endText;
}

QString LiveListItem::ButtonColor(int state)
{
    switch (state) {
    case 0:
        return QStringLiteral("#B3B3B3");
    case 1:
        return QStringLiteral("#0097F7");
    case kEnding:
        return QStringLiteral("#B3B3B3");
    default:
        return QStringLiteral("#27B459");
    }
}

QString LiveListItem::ButtonText(int state)
{
    switch (state) {
    case 0:
        return QStringLiteral("尚未开始");
    case 1:
        return QStringLiteral("进入直播");
    case kEnding:
        return QStringLiteral("下课中");
    default:
        return QStringLiteral("已结束");
    }
}

QString LiveListItem::ButtonStyle(int state)
{
    return QStringLiteral("color:white;padding:12px 50px;border:0;border-radius:23px;background:")
        + ButtonColor(state);
}

void LiveListItem::OnStartButtonClick()
{
    // A double click must not open the live twice.
    new SignalBlocker(ui->startButton, 1000);
    emit ButtonClicked(m_data);
}
