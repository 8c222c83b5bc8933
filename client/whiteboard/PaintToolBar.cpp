#include "PaintToolBar.h"
#include "ui_PaintToolBar.h"

#include "FontOptions.h"
#include "OptionsContainer.h"
#include "PenOptions.h"

#include <QPainter>
#include <QStyleOption>

PaintToolBar::PaintToolBar(QWidget* parent)
    : QWidget(parent)
    , ui(std::make_unique<Ui::PaintToolBar>())
{
    qRegisterMetaType<InstrumentType>("InstrumentType");
    ui->setupUi(this);
    const QList<QAbstractButton*> buttons = { ui->penButton, ui->textButton, ui->eraseButton, ui->rectButton,
        ui->arrowButton, ui->moveButton, ui->laserButton, ui->clearButton };
    for (QAbstractButton* b : buttons)
        connect(b, &QAbstractButton::clicked, this, &PaintToolBar::onButtonClicked);
    // The board keeps the keyboard (undo and redo keys, the text being typed) when a tool is chosen.
    for (QAbstractButton* b : findChildren<QAbstractButton*>())
        b->setFocusPolicy(Qt::NoFocus);
    connect(ui->undoButton, &QPushButton::clicked, this, &PaintToolBar::UndoRequested);
    connect(ui->redoButton, &QPushButton::clicked, this, &PaintToolBar::RedoRequested);
    setHistoryState(false, false);
}

void PaintToolBar::setHistoryState(bool canUndo, bool canRedo)
{
    ui->undoButton->setEnabled(canUndo);
    ui->redoButton->setEnabled(canRedo);
}

PaintToolBar::~PaintToolBar() = default;

QAbstractButton* PaintToolBar::button(InstrumentType tool) const
{
    switch (tool) {
    case Pen:
        return ui->penButton;
    case Text:
        return ui->textButton;
    case Eraser:
        return ui->eraseButton;
    case Rectangle:
        return ui->rectButton;
    case Arrow:
        return ui->arrowButton;
    case Move:
        return ui->moveButton;
    case Clear:
        return ui->clearButton;
    case Laser:
        return ui->laserButton;
    default:
        return nullptr;
    }
}

void PaintToolBar::onButtonClicked()
{
    QObject* from = sender();
    if (from == ui->penButton) {
        openOptions(ui->penButton, false);
        emit SelectTool(Pen);
    } else if (from == ui->textButton) {
        openOptions(ui->textButton, true);
        emit SelectTool(Text);
    } else if (from == ui->eraseButton) {
        emit SelectTool(Eraser);
    } else if (from == ui->rectButton) {
        openOptions(ui->rectButton, false);
        emit SelectTool(Rectangle);
    } else if (from == ui->arrowButton) {
        openOptions(ui->arrowButton, false);
        emit SelectTool(Arrow);
    } else if (from == ui->moveButton) {
        emit SelectTool(Move);
    } else if (from == ui->laserButton) {
        emit SelectTool(Laser);
    } else if (from == ui->clearButton) {
        // Clearing is an action, not a tool: the tool in use stays selected and shown.
        ui->clearButton->setChecked(false);
        emit SelectTool(Clear);
    } else {
        emit SelectTool(None);
    }
}

void PaintToolBar::openOptions(QAbstractButton* anchor, bool textOptions)
{
    auto* container = new OptionsContainer(this);
    container->setWindowFlags(Qt::Popup | Qt::FramelessWindowHint);
    QWidget* content = textOptions ? static_cast<QWidget*>(new FontOptions(container))
                                   : static_cast<QWidget*>(new PenOptions(container));
    container->setContent(content, anchor);
    container->setAttribute(Qt::WA_DeleteOnClose);
    container->show();
}

void PaintToolBar::paintEvent(QPaintEvent*)
{
    // Lets the style sheet paint the bar's background.
    QStyleOption option;
    option.initFrom(this);
    QPainter painter(this);
    style()->drawPrimitive(QStyle::PE_Widget, &option, &painter, this);
}
