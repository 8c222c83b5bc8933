#include "PenOptions.h"
#include "ui_PenOptions.h"

#include "ColorComboDelegate.h"
#include "PaintSettings.h"

#include <QComboBox>
#include <QPainter>
#include <QSignalBlocker>
#include <QStyleOption>

PenOptions::PenOptions(QWidget* parent)
    : QWidget(parent)
    , ui(std::make_unique<Ui::PenOptions>())
{
    ui->setupUi(this);
    ui->comboBox->setItemDelegate(new ColorComboDelegate(ui->comboBox));
    for (const QString& color : PaintPalette())
        ui->comboBox->addItem(color, color);
    connect(ui->comboBox, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
        &PenOptions::ComboBox_currentIndexChanged);

    connect(ui->smallRadioButton, &QRadioButton::clicked, this, [] { PenSettings::setSize(0); });
    connect(ui->midRadioButton, &QRadioButton::clicked, this, [] { PenSettings::setSize(1); });
    connect(ui->largeRadioButton, &QRadioButton::clicked, this, [] { PenSettings::setSize(2); });

    QRadioButton* sizes[] = { ui->smallRadioButton, ui->midRadioButton, ui->largeRadioButton };
    const int sizeIndex = PenSettings::sizeIndex();
    if (sizeIndex >= 0 && sizeIndex <= 2)
        sizes[sizeIndex]->setChecked(true);

    // Black is not offered: a colour missing from the palette becomes its first entry.
    const int colorIndex = PaintPalette().indexOf(PenSettings::color());
    ComboBox_currentIndexChanged(colorIndex >= 1 ? colorIndex : 0);
    // The list opens on the colour in use, so picking any other one, the first included, is a
    // change that takes effect.
    const QSignalBlocker quiet(ui->comboBox);
    ui->comboBox->setCurrentIndex(colorIndex >= 1 ? colorIndex : 0);
}

PenOptions::~PenOptions() = default;

void PenOptions::ComboBox_currentIndexChanged(int index)
{
    const QString color = ui->comboBox->itemData(index).toString();
    ui->comboBox->setStyleSheet(
        QStringLiteral("QComboBox{border:0px;border-radius:0px;background:%1;color:%2;}").arg(color, color));
    PenSettings::setColor(color);
}

void PenOptions::paintEvent(QPaintEvent*)
{
    QStyleOption option;
    option.initFrom(this);
    QPainter painter(this);
    style()->drawPrimitive(QStyle::PE_Widget, &option, &painter, this);
}
