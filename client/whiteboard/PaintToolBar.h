#pragma once

#include "InstrumentType.h"

#include <QWidget>

#include <memory>

namespace Ui {
class PaintToolBar;
}

class QAbstractButton;

// The strip of drawing tools laid over the bottom left of the drawing surface.
class PaintToolBar : public QWidget {
    Q_OBJECT
public:
    explicit PaintToolBar(QWidget* parent = nullptr);
    ~PaintToolBar() override;

    QAbstractButton* button(InstrumentType tool) const;

public slots:
    // The undo and redo buttons follow what the page in view can do.
    void setHistoryState(bool canUndo, bool canRedo);

signals:
    void SelectTool(InstrumentType toolType);
    void UndoRequested();
    void RedoRequested();

private slots:
    void onButtonClicked();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void openOptions(QAbstractButton* anchor, bool textOptions);

    std::unique_ptr<Ui::PaintToolBar> ui;
};
