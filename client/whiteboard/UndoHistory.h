#pragma once

#include "PageChange.h"

#include <QHash>
#include <QString>

#include <deque>

// Undo and redo of the changes of every page seen while the room is open, one list per page.
// Each page keeps its latest kMaxSteps changes. What all pages keep together is bounded by the
// points of the shapes their changes hold: past kMaxPoints the oldest steps go, those of other
// pages before those of the page in view, whose latest kKeptSteps go last.
class UndoHistory {
public:
    static constexpr int kMaxSteps = 256;
    static constexpr int kKeptSteps = 200;
    static constexpr qint64 kMaxPoints = 4'000'000;

    void setPage(const QString& page);
    QString page() const { return m_page; }
    // A new change of the page in view; what was undone before it can no longer be redone.
    void record(PageChange change);
    bool canUndo() const;
    bool canRedo() const;
    // The change that undoes (or redoes) the last step; the caller applies it to the page.
    PageChange takeUndo();
    PageChange takeRedo();
    // The last steps of a page, made before the shapes below them were read, move up by count.
    void shiftPending(const QString& page, int count, int steps);

    int undoSteps(const QString& page) const;
    int redoSteps(const QString& page) const;
    qint64 points() const { return m_points; }
    void clear();

private:
    struct Step {
        PageChange change;
        qint64 weight = 0;
        quint64 serial = 0;
    };
    struct Steps {
        std::deque<Step> done;
        std::deque<Step> undone;
    };

    void push(std::deque<Step>& list, PageChange change);
    void dropOver();
    void dropRedo(Steps& steps);

    QString m_page;
    QHash<QString, Steps> m_pages;
    qint64 m_points = 0;
    quint64 m_serial = 0;
};
