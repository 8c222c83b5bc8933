#pragma once

#include <QWidget>

#include <memory>

namespace Ui {
class PenOptions;
}

// Stroke size and colour of the pen, rectangle and arrow tools.
class PenOptions : public QWidget {
    Q_OBJECT
public:
    explicit PenOptions(QWidget* parent = nullptr);
    ~PenOptions() override;

public slots:
    void ComboBox_currentIndexChanged(int index);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    std::unique_ptr<Ui::PenOptions> ui;
};
