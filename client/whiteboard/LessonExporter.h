#pragma once

#include <QObject>
#include <QSize>
#include <QString>
#include <QVector>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

class QWidget;

// One page of the lesson: the slide shown under the drawing (empty for none) and the page file
// that holds the drawing.
struct LessonPage {
    QString image;
    QString pageFile;
    // The blank page goes in only when something is drawn on it.
    bool onlyIfDrawn = false;
};

// Writes the pages of a lesson into one PDF: each slide image as the preview shows it, with the
// page's strokes, shapes and text over it as vector graphics. Runs on a thread of its own.
class LessonExporter : public QObject {
    Q_OBJECT
public:
    explicit LessonExporter(QObject* parent = nullptr);
    ~LessonExporter() override;

    // canvas: the size of the drawing surface, in which the slide was shown fitted and centred.
    // Progress and the end come as signals on this object's thread.
    bool start(const QVector<LessonPage>& pages, const QSize& canvas, const QString& target);
    bool isRunning() const { return m_running; }

    // The whole export on the calling thread; error says why it failed, and no file is left.
    static bool write(const QVector<LessonPage>& pages, const QSize& canvas, const QString& target,
        QString* error, const std::function<void(int done, int total)>& progress = {});

    // Asks where to write, shows the progress of a long export and says how it ended.
    static void run(QWidget* parent, const QVector<LessonPage>& pages, const QSize& canvas);

signals:
    void progress(int done, int total);
    void finished(bool ok, const QString& error);

private:
    std::thread m_thread;
    std::atomic<bool> m_running { false };
};
