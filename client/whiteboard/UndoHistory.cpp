#include "UndoHistory.h"

void UndoHistory::setPage(const QString& page)
{
    m_page = page;
}

void UndoHistory::record(PageChange change)
{
    if (change.isEmpty())
        return;
    Steps& steps = m_pages[m_page];
    dropRedo(steps);
    push(steps.done, std::move(change));
    if (int(steps.done.size()) > kMaxSteps) {
        m_points -= steps.done.front().weight;
        steps.done.pop_front();
    }
    dropOver();
}

bool UndoHistory::canUndo() const
{
    const auto it = m_pages.constFind(m_page);
    return it != m_pages.constEnd() && !it->done.empty();
}

bool UndoHistory::canRedo() const
{
    const auto it = m_pages.constFind(m_page);
    return it != m_pages.constEnd() && !it->undone.empty();
}

PageChange UndoHistory::takeUndo()
{
    if (!canUndo())
        return {};
    Steps& steps = m_pages[m_page];
    Step step = std::move(steps.done.back());
    steps.done.pop_back();
    m_points -= step.weight;
    const PageChange undo = step.change.inverse();
    push(steps.undone, step.change);
    return undo;
}

PageChange UndoHistory::takeRedo()
{
    if (!canRedo())
        return {};
    Steps& steps = m_pages[m_page];
    Step step = std::move(steps.undone.back());
    steps.undone.pop_back();
    m_points -= step.weight;
    const PageChange redo = step.change;
    push(steps.done, step.change);
    return redo;
}

void UndoHistory::shiftPending(const QString& page, int count, int stepCount)
{
    auto it = m_pages.find(page);
    if (it == m_pages.end() || count == 0)
        return;
    // Nothing is undone while a page is read, so its newest steps are the ones made meanwhile.
    int left = stepCount;
    for (auto step = it->done.rbegin(); step != it->done.rend() && left > 0; ++step, --left)
        step->change.shiftBy(count);
}

int UndoHistory::undoSteps(const QString& page) const
{
    const auto it = m_pages.constFind(page);
    return it == m_pages.constEnd() ? 0 : int(it->done.size());
}

int UndoHistory::redoSteps(const QString& page) const
{
    const auto it = m_pages.constFind(page);
    return it == m_pages.constEnd() ? 0 : int(it->undone.size());
}

void UndoHistory::clear()
{
    m_pages.clear();
    m_points = 0;
}

void UndoHistory::push(std::deque<Step>& list, PageChange change)
{
    Step step;
    step.weight = change.weight();
    step.change = std::move(change);
    step.serial = ++m_serial;
    m_points += step.weight;
    list.push_back(std::move(step));
}

void UndoHistory::dropRedo(Steps& steps)
{
    for (const Step& step : steps.undone)
        m_points -= step.weight;
    steps.undone.clear();
}

void UndoHistory::dropOver()
{
    // Other pages' redo lists first, then their oldest steps, then the page in view down to its
    // last kKeptSteps.
    while (m_points > kMaxPoints) {
        Steps* oldest = nullptr;
        bool dropped = false;
        for (auto it = m_pages.begin(); it != m_pages.end() && !dropped; ++it) {
            if (it.key() == m_page)
                continue;
            Steps& steps = it.value();
            if (!steps.undone.empty()) {
                dropRedo(steps);
                dropped = true;
            } else if (!steps.done.empty()
                && (!oldest || steps.done.front().serial < oldest->done.front().serial)) {
                oldest = &steps;
            }
        }
        if (dropped)
            continue;
        if (!oldest) {
            Steps& own = m_pages[m_page];
            if (int(own.done.size()) <= kKeptSteps)
                break;
            oldest = &own;
        }
        m_points -= oldest->done.front().weight;
        oldest->done.pop_front();
    }
}
