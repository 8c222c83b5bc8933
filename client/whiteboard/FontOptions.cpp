#include "FontOptions.h"
#include "ui_FontOptions.h"

#include "ColorComboDelegate.h"
#include "PaintSettings.h"

#include <QComboBox>
#include <QDebug>
#include <QPainter>
#include <QSignalBlocker>
#include <QStyleOption>

FontOptions::FontOptions(QWidget* parent)
    : QWidget(parent)
    , ui(std::make_unique<Ui::FontOptions>())
{
    ui->setupUi(this);
    ui->colorComboBox->setItemDelegate(new ColorComboDelegate(ui->colorComboBox));
    for (const QString& color : PaintPalette())
        ui->colorComboBox->addItem(color, color);
    connect(ui->colorComboBox, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
        &FontOptions::colorChanged);

    m_sizes = PaintFontSizes();
    for (int size : m_sizes)
        ui->fontSizeComboBox->addItem(QString::number(size), size);
    connect(ui->fontSizeComboBox, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
        &FontOptions::fontSizeChanged);

    const int colorIndex = PaintPalette().indexOf(FontSettings::color());
    colorChanged(colorIndex >= 1 ? colorIndex : 0);
    {
        // Open the list on the colour in use, so that picking the first colour is a change too.
        const QSignalBlocker quiet(ui->colorComboBox);
        ui->colorComboBox->setCurrentIndex(colorIndex >= 1 ? colorIndex : 0);
    }
    const int sizeIndex = m_sizes.indexOf(FontSettings::fontSize());
    ui->fontSizeComboBox->setCurrentIndex(sizeIndex > 0 ? sizeIndex : 0);
}

FontOptions::~FontOptions() = default;

void FontOptions::colorChanged(int index)
{
    const QString color = ui->colorComboBox->itemData(index).toString();
    ui->colorComboBox->setStyleSheet(
        QStringLiteral("QComboBox{border:0px;border-radius:0px;background:%1;color:%2;}").arg(color, color));
    FontSettings::setColor(color);
    qDebug() << "color change:" << color;
}

void FontOptions::fontSizeChanged(int index)
{
    FontSettings::setFontSize(ui->fontSizeComboBox->itemData(index, Qt::UserRole).toInt());
}

void FontOptions::paintEvent(QPaintEvent*)
{
    QStyleOption option;
    option.initFrom(this);
    QPainter painter(this);
    style()->drawPrimitive(QStyle::PE_Widget, &option, &painter, this);
}
