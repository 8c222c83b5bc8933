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
// While its window is hidden a list keeps every row it is given built.
class RowBinder : public QObject {
public:
    using Factory = std::function<QWidget*(QListWidgetItem*)>;

    // The list's binder of that name, made on first use.
    static RowBinder* Of(QListWidget* list, const QString& name, const Factory& factory, int margin);

    QWidget* Build(QListWidgetItem* item) const { return m_factory(item); }
    void Built(int row) { m_built.insert(row); }
    // After the list was cleared.
    void Reset() { m_built.clear(); }
    void Sync();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    RowBinder(QListWidget* list, const Factory& factory, int margin);

    QListWidget* m_list;
    Factory m_factory;
    int m_margin;
    QSet<int> m_built;
};
