#include "MemberListItem.h"

#include "ui_MemberListItem.h"

MemberListItem::MemberListItem(QWidget* parent)
    : QWidget(parent)
    , ui(new Ui::MemberListItem)
{
    ui->setupUi(this);
    connect(ui->micButton, &QPushButton::clicked, this, &MemberListItem::OnMicClicked);
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

void MemberListItem::OnMicClicked()
{
    emit ButtonClicked(m_data, ui->micButton->isChecked());
}
