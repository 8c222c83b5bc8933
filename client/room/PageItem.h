#pragma once

#include <QWidget>

#include <memory>

namespace Ui {
class PageItem;
}

// Thumbnail of one slide page in the room's page column.
class PageItem : public QWidget {
    Q_OBJECT
public:
    explicit PageItem(QWidget* parent = nullptr);
    ~PageItem() override;

    void SetIndexText(const QString& text);
    void SetSelected(bool selected);
    void SetImage(const QString& path, int width);

    Ui::PageItem* form() const { return ui.get(); }

private:
    std::unique_ptr<Ui::PageItem> ui;
};
