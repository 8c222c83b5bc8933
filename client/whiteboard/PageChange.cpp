#include "PageChange.h"

bool PageChange::applyTo(ShapeList& shapes) const
{
    // Checked first, so that a change that does not fit leaves the list as it was.
    for (const Placed& out : removed) {
        // A page read again holds equal shapes, not the same objects.
        if (out.first < 0 || out.first >= shapes.size() || !shapes[out.first]->sameAs(*out.second))
            return false;
    }
    const int left = shapes.size() - removed.size();
    for (int k = 0; k < added.size(); ++k) {
        if (added[k].first < 0 || added[k].first > left + k)
            return false;
    }
    if (removed.size() + added.size() <= 8) {
        for (int i = removed.size() - 1; i >= 0; --i)
            shapes.removeAt(removed[i].first);
        for (const Placed& in : added)
            shapes.insert(in.first, in.second);
        return true;
    }
    // Many places at once (a clear, a band moved): one pass instead of a shift per place.
    ShapeList result;
    result.reserve(left + added.size());
    int out = 0;
    int in = 0;
    for (int i = 0; i <= shapes.size(); ++i) {
        while (in < added.size() && added[in].first == result.size())
            result.append(added[in++].second);
        if (i == shapes.size())
            break;
        if (out < removed.size() && removed[out].first == i) {
            ++out;
            continue;
        }
        result.append(shapes[i]);
    }
    shapes.swap(result);
    return true;
}

PageChange PageChange::inverse() const
{
    return PageChange { added, removed };
}

qint64 PageChange::weight() const
{
    qint64 points = 0;
    for (const Placed& p : removed)
        points += p.second->points().size() + 1;
    for (const Placed& p : added)
        points += p.second->points().size() + 1;
    return points;
}

void PageChange::shiftBy(int count)
{
    for (Placed& p : removed)
        p.first += count;
    for (Placed& p : added)
        p.first += count;
}
