#include "LogCapture.h"

#include <QMutex>
#include <QMutexLocker>

namespace {

// Log lines may come from any thread.
QMutex g_mutex;
QStringList g_lines;
int g_depth = 0;
bool g_passOn = false;
QtMessageHandler g_previousHandler = nullptr;

void CaptureHandler(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    QtMessageHandler next = nullptr;
    {
        QMutexLocker lock(&g_mutex);
        g_lines.append(message);
        if (g_passOn)
            next = g_previousHandler;
    }
    if (next)
        next(type, context, message);
}

} // namespace

LogCapture::LogCapture(bool passOn)
{
    QMutexLocker lock(&g_mutex);
    if (g_depth++ == 0) {
        g_lines.clear();
        g_passOn = passOn;
        g_previousHandler = qInstallMessageHandler(CaptureHandler);
    }
}

LogCapture::~LogCapture()
{
    QMutexLocker lock(&g_mutex);
    if (--g_depth == 0)
        qInstallMessageHandler(g_previousHandler);
}

QStringList LogCapture::lines() const
{
    QMutexLocker lock(&g_mutex);
    return g_lines;
}

void LogCapture::clear()
{
    QMutexLocker lock(&g_mutex);
    g_lines.clear();
}

int LogCapture::count(const QString& text) const
{
    return int(lines().filter(text).size());
}
