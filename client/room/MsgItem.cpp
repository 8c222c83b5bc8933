#include "MsgItem.h"

#include "ui_MsgItem.h"

#include <QFontMetrics>
#include <QPainter>

namespace {
const int kNameMaxWidth = 150;
const int kContentSpacing = 4;
const int kMeasureHeight = 1000;
const int kWrapFlags = Qt::AlignLeft | Qt::AlignTop | Qt::TextWrapAnywhere;
} // namespace

CharWrapLabel::CharWrapLabel(QWidget* parent)
    : QLabel(parent)
{
}

void CharWrapLabel::paintEvent(QPaintEvent* event)
{
    Q_UNUSED(event);
    QPainter painter(this);
    painter.setPen(QColor(QStringLiteral("#666666")));
    painter.setFont(font());
    painter.drawText(rect(), kWrapFlags, text());
}

MsgItem::MsgItem(QWidget* parent)
    : QWidget(parent)
    , ui(new Ui::MsgItem)
{
    ui->setupUi(this);
}

MsgItem::~MsgItem() = default;

void MsgItem::SetWidth(int width)
{
    const QMargins margins = ui->verticalLayout->contentsMargins();
    ui->contentLabel->setFixedWidth(qMax(0, width - margins.left() - margins.right()));
}

void MsgItem::SetName(const QString& name)
{
    const QFontMetrics metrics(ui->nameLabel->font());
    ui->nameLabel->setText(metrics.elidedText(name, Qt::ElideRight, kNameMaxWidth));
}

void MsgItem::SetTime(const QString& time)
{
    ui->timeLabel->setText(time);
}

void MsgItem::SetContent(const QString& text)
{
    ui->contentLabel->setText(text);
    if (text.isEmpty()) {
        ui->verticalLayout->setSpacing(0);
        ui->contentLabel->setFixedHeight(0);
        return;
    }
    const QFontMetrics metrics(ui->contentLabel->font());
    const QRect box(0, 0, ui->contentLabel->minimumWidth(), kMeasureHeight);
    ui->contentLabel->setFixedHeight(metrics.boundingRect(box, kWrapFlags, text).height());
    ui->verticalLayout->setSpacing(kContentSpacing);
}
