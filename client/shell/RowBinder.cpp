#include "RowBinder.h"

#include <QAbstractItemModel>
#include <QEvent>
#include <QListWidget>
#include <QScrollBar>

RowBinder::RowBinder(QListWidget* list, Factory factory, int margin)
    : QObject(list)
    , m_list(list)
    , m_factory(std::move(factory))
    , m_margin(margin)
{
    list->viewport()->installEventFilter(this);
    connect(list->verticalScrollBar(), &QScrollBar::valueChanged, this, [this] { Sync(); });
    // Row numbers shift when rows come and go; a stale number would leave a row without its
    // widget, or release another row's.
    QAbstractItemModel* model = list->model();
    connect(model, &QAbstractItemModel::rowsInserted, this,
        [this](const QModelIndex&, int first, int last) { RowsInserted(first, last); });
    connect(model, &QAbstractItemModel::rowsRemoved, this,
        [this](const QModelIndex&, int first, int last) { RowsRemoved(first, last); });
    connect(model, &QAbstractItemModel::modelReset, this, [this] { m_built.clear(); });
    connect(model, &QAbstractItemModel::rowsMoved, this, &RowBinder::Rescan);
    connect(model, &QAbstractItemModel::layoutChanged, this, &RowBinder::Rescan);
}

void RowBinder::RowsInserted(int first, int last)
{
    const int added = last - first + 1;
    // Appending, the usual case, moves no row.
    if (first >= m_list->count() - added)
        return;
    QSet<int> moved;
    moved.reserve(m_built.size());
    for (int row : qAsConst(m_built))
        moved.insert(row >= first ? row + added : row);
    m_built.swap(moved);
}

void RowBinder::RowsRemoved(int first, int last)
{
    const int removed = last - first + 1;
    QSet<int> kept;
    kept.reserve(m_built.size());
    for (int row : qAsConst(m_built)) {
        if (row < first)
            kept.insert(row);
        else if (row > last)
            kept.insert(row - removed);
    }
    m_built.swap(kept);
}

void RowBinder::Rescan()
{
    m_built.clear();
    for (int row = 0; row < m_list->count(); ++row)
        if (m_list->itemWidget(m_list->item(row)))
            m_built.insert(row);
}

QWidget* RowBinder::Ensure(int row)
{
    QListWidgetItem* item = m_list->item(row);
    if (!item)
        return nullptr;
    if (QWidget* existing = m_list->itemWidget(item))
        return existing;
    QWidget* widget = m_factory(item);
    m_list->setItemWidget(item, widget);
    m_built.insert(row);
    return widget;
}

void RowBinder::Sync()
{
    const int count = m_list->count();
    if (count == 0 || !m_list->window()->isVisible())
        return;
    // A list on a hidden tab still has its geometry; lay it out to know which rows would show.
    if (!m_list->isVisible())
        m_list->doItemsLayout();
    const QModelIndex top = m_list->indexAt(QPoint(0, 0));
    const QModelIndex bottom = m_list->indexAt(QPoint(0, m_list->viewport()->height() - 1));
    const int first = top.isValid() ? top.row() : 0;
    const int last = bottom.isValid() ? bottom.row() : count - 1;
    const int lo = qMax(0, first - m_margin);
    const int hi = qMin(count - 1, last + m_margin);
    for (auto it = m_built.begin(); it != m_built.end();) {
        if (*it < lo || *it > hi) {
            if (*it < count)
                m_list->removeItemWidget(m_list->item(*it));
            it = m_built.erase(it);
        } else {
            ++it;
        }
    }
    for (int row = lo; row <= hi; ++row) {
        QListWidgetItem* item = m_list->item(row);
        if (m_built.contains(row) && m_list->itemWidget(item))
            continue;
        m_list->setItemWidget(item, m_factory(item));
        m_built.insert(row);
    }
    // A narrower view does not move its row widgets by itself (a list laid out on a hidden tab
    // keeps that tab's default width): give every built row its line again.
    for (int row : qAsConst(m_built)) {
        QWidget* widget = m_list->itemWidget(m_list->item(row));
        const QRect rect = m_list->visualItemRect(m_list->item(row));
        if (widget && widget->geometry() != rect)
            widget->setGeometry(rect);
    }
}

bool RowBinder::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::Resize || event->type() == QEvent::Show)
        Sync();
    return QObject::eventFilter(watched, event);
}
