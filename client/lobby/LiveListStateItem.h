#pragma once

#include <QString>
#include <QWidget>

#include <memory>

namespace Ui {
class LiveListStateItem;
}

// One state tab in the lobby's left column.
class LiveListStateItem : public QWidget {
    Q_OBJECT
public:
    explicit LiveListStateItem(const QString& title, QWidget* parent = nullptr);
    ~LiveListStateItem() override;

    void SetSelected(bool selected);
    bool isSelected() const { return m_selected; }
    QString title() const { return m_title; }
    Ui::LiveListStateItem* form() const { return ui.get(); }

private:
    std::unique_ptr<Ui::LiveListStateItem> ui;
    QString m_title;
    bool m_selected = false;
};
