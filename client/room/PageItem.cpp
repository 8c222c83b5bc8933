#include "PageItem.h"

#include "ui_PageItem.h"

#include <QPixmap>

PageItem::PageItem(QWidget* parent)
    : QWidget(parent)
    , ui(new Ui::PageItem)
{
    ui->setupUi(this);
}

PageItem::~PageItem() = default;

void PageItem::SetIndexText(const QString& text)
{
    ui->nameLabel->setText(text);
}

void PageItem::SetSelected(bool selected)
{
    if (selected) {
        ui->imageLabel->setStyleSheet("border: 1px solid #33ABEF");
        ui->nameLabel->setStyleSheet("color:#33ABEF;background:transparent;");
    } else {
        ui->imageLabel->setStyleSheet("border: 1px solid #E6E6E6");
        ui->nameLabel->setStyleSheet("color:#808080;background:transparent;");
    }
}

void PageItem::SetImage(const QString& path, int width)
{
    setFixedWidth(width);
    const int imageWidth = width - 30;
    const int imageHeight = imageWidth * 3 / 4;
    QPixmap image(path);
    if (!image.isNull())
        image = image.scaled(imageWidth, imageHeight, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    ui->imageLabel->setPixmap(image);
}
