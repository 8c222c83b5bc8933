#pragma once

#include <QLabel>
#include <QWidget>

#include <memory>

namespace Ui {
class MsgItem;
}

// A label that wraps its text at any character, so long words and URLs stay inside the width.
class CharWrapLabel : public QLabel {
    Q_OBJECT
public:
    explicit CharWrapLabel(QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
};

// One row of the discussion list: a chat line or a notice.
class MsgItem : public QWidget {
    Q_OBJECT
public:
    explicit MsgItem(QWidget* parent = nullptr);
    ~MsgItem() override;

    void SetWidth(int width);
    void SetName(const QString& name);
    void SetContent(const QString& text);
    void SetTime(const QString& time);

    Ui::MsgItem* form() const { return ui.get(); }

private:
    std::unique_ptr<Ui::MsgItem> ui;
};
