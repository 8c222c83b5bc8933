#pragma once

#include <QString>
#include <QStringList>

// Collects the process's log lines while alive. Captures may nest; they share one list, which the
// outermost starts empty. With passOn, the lines also still reach the handler that was in place.
class LogCapture {
public:
    explicit LogCapture(bool passOn = false);
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    QStringList lines() const;
    void clear();
    // Whether, and how many, lines hold text somewhere.
    bool contains(const QString& text) const { return count(text) > 0; }
    int count(const QString& text) const;
};
