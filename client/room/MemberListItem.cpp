#include "MemberListItem.h"

#include "ui_MemberListItem.h"

#include <QPushButton>

MemberListItem::MemberListItem(QWidget* parent)
    : QWidget(parent)
    , ui(new Ui::MemberListItem)
{
    ui->setupUi(this);
    connect(ui->micButton, &QPushButton::clicked, this, &MemberListItem::OnMicClicked);
    m_hand = new QPushButton(QStringLiteral("举手"), ui->widget);
    m_hand->setObjectName(QStringLiteral("handButton"));
    m_hand->setToolTip(QStringLiteral("放下举手"));
    m_hand->setCursor(Qt::PointingHandCursor);
    m_hand->setStyleSheet(QStringLiteral(
        "QPushButton{background:#FB923B;color:white;border:none;border-radius:3px;padding:1px 6px;}"));
    m_hand->hide();
    ui->horizontalLayout->insertWidget(ui->horizontalLayout->indexOf(ui->micButton), m_hand);
    connect(m_hand, &QPushButton::clicked, this, [this] { emit HandClicked(GetUserId()); });
}

MemberListItem::~MemberListItem() = default;

void MemberListItem::SetData(const QVariantMap& record)
{
    m_data = record;
    const bool teacher = record.value(QStringLiteral("role")).toString() == QLatin1String("t");
    const bool onMic = record.value(QStringLiteral("status")).toString() == QLatin1String("1");

    if (teacher) {
        ui->styleLabel->setStyleSheet(
            QStringLiteral("background:#0AADDD;padding:1px 4px;border-radius:3px;color:white;"));
        ui->styleLabel->setText(QStringLiteral("老师"));
    } else {
        ui->styleLabel->setStyleSheet(
            QStringLiteral("background:#FB923B;padding:1px 4px;border-radius:3px;color:white;"));
        ui->styleLabel->setText(QStringLiteral("学生"));
    }
    // A teacher's hidden button still carries the stored state: it counts as someone speaking.
    ui->micButton->setVisible(!teacher);
    SetMicOn(onMic);
    ui->nameLabel->setText(record.value(QStringLiteral("nickname")).toString());
}

QString MemberListItem::GetUserId() const
{
    return m_data.value(QStringLiteral("userId")).toString();
}

bool MemberListItem::IsMicOn() const
{
    return ui->micButton->isChecked();
}

void MemberListItem::SetMicOn(bool on)
{
    ui->micButton->setChecked(on);
}

void MemberListItem::SetHandRaised(bool up)
{
    m_hand->setVisible(up);
}

bool MemberListItem::IsHandRaised() const
{
    return !m_hand->isHidden();
}

void MemberListItem::OnMicClicked()
{
    emit ButtonClicked(m_data, ui->micButton->isChecked());
}
