#pragma once

#include <QList>
#include <QWidget>

#include <memory>

namespace Ui {
class FontOptions;
}

// Colour and point size of new texts.
class FontOptions : public QWidget {
    Q_OBJECT
public:
    explicit FontOptions(QWidget* parent = nullptr);
    ~FontOptions() override;

public slots:
    void colorChanged(int index);
    void fontSizeChanged(int index);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    std::unique_ptr<Ui::FontOptions> ui;
    QList<int> m_sizes;
};
