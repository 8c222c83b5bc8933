#pragma once

#include <QObject>
#include <QSet>

#include <functional>

class QListWidget;
class QListWidgetItem;
class QWidget;

// Keeps row widgets only for the rows of a QListWidget that are in or near view. Each list item
// carries what its row shows and its size hint; the factory builds the row widget from the item
// when the row comes close to view, and the widget is released when it scrolls far away. With
// thousands of live row widgets every append, scroll and rebuild would touch all of them.
// While its window is hidden a list is left as it is; rows are built when it shows.
class RowBinder : public QObject {
public:
    using Factory = std::function<QWidget*(QListWidgetItem*)>;

    // Owned by the list; one per list. Margin: rows kept built beyond each edge.
    RowBinder(QListWidget* list, Factory factory, int margin);

    QWidget* Build(QListWidgetItem* item) const { return m_factory(item); }
    // The caller has set the row's widget itself.
    void Built(int row) { m_built.insert(row); }
    // The row's widget, built now if the row has none; null for a row that does not exist.
    QWidget* Ensure(int row);
    void Sync();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void RowsInserted(int first, int last);
    void RowsRemoved(int first, int last);
    void Rescan();

    QListWidget* m_list;
    Factory m_factory;
    int m_margin;
    // Rows that have a widget; kept in step with rows inserted, removed, moved or cleared.
    QSet<int> m_built;
};
