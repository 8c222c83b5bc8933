#pragma once

#include "shapes.h"

#include <QPair>
#include <QVector>

// One finished change of a page's drawing: the shapes taken out, at their places in the list
// before the change, and the shapes put in, at their places in the list after it. A stroke only
// adds, an erase or a clear only removes, a move or a scale replaces shapes by changed copies.
struct PageChange {
    using Placed = QPair<int, std::shared_ptr<GeneralShape>>;
    QVector<Placed> removed; // ascending places
    QVector<Placed> added; // ascending places

    bool isEmpty() const { return removed.isEmpty() && added.isEmpty(); }
    // False, with the list untouched, when the list does not hold the shapes the change takes out.
    bool applyTo(ShapeList& shapes) const;
    PageChange inverse() const;
    // Points of the shapes it holds: what keeping it in a history costs.
    qint64 weight() const;
    // The same change on a list that has count more shapes below those it knew.
    void shiftBy(int count);
};
