#include "LiveListStateItem.h"

#include "ui_LiveListStateItem.h"

LiveListStateItem::LiveListStateItem(const QString& title, QWidget* parent)
    : QWidget(parent)
    , ui(new Ui::LiveListStateItem)
    , m_title(title)
{
    ui->setupUi(this);
    // A QWidget subclass paints its style-sheet background only when asked to.
    setAttribute(Qt::WA_StyledBackground, true);
    ui->titleLabel->setText(title);
    QFont font = ui->titleLabel->font();
    font.setPointSize(13);
    ui->titleLabel->setFont(font);
    SetSelected(false);
}

LiveListStateItem::~LiveListStateItem() = default;

void LiveListStateItem::SetSelected(bool selected)
{
    m_selected = selected;
    if (selected) {
        setStyleSheet(QStringLiteral("background:#335870"));
        ui->lineWidget->setStyleSheet(QStringLiteral("background:#33ABEF"));
        ui->titleLabel->setStyleSheet(QStringLiteral("color:white;font-weight:bold;"));
    } else {
        setStyleSheet(QStringLiteral("background:#323338"));
        ui->lineWidget->setStyleSheet(QStringLiteral("background:#999999"));
        ui->titleLabel->setStyleSheet(QStringLiteral("color:#B3B3B3;font-weight:bold;"));
    }
}
