#pragma once

#include <QDir>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringList>

class QFileSystemWatcher;
class QTimer;

// Turns a presentation into one PNG per slide: starts the office suite hidden with our export
// macro, watches the folder "_output_" beside the document and announces each new image.
class PowerPointTool : public QObject {
    Q_OBJECT
public:
    static PowerPointTool* GetInstance();

    // Ends the office suite that runs on our own profile; a teacher's own office is left alone.
    // Returns at once; OfficeEnded follows when the suite is gone (at once when none ran).
    void KillOffice();
    // Starts converting once our suite of an earlier conversion has ended.
    void OpenFile(QString path);

    // Ticks a conversion may wait for its first image (180 unless set, for tests).
    void SetTickLimit(int ticks);

signals:
    void OpenFail();
    void NewSlides(QString path);
    // Our suite is gone after KillOffice (or after a conversion that failed), or gave up on after
    // three seconds.
    void OfficeEnded();

private:
    explicit PowerPointTool(QObject* parent = nullptr);

    void StartConversion();
    void CreateOutputPath();
    void RemoveLockFiles(QDir folder);
    void OnTimer();
    void OnKillTick();
    void OnFileChanged(const QString& path);
    void RaiseFail();

    QString ProfileFolder() const;
    QString OwnerMarker() const;
    void KillOwnOffice();
    void KillEnded();
    bool OwnOfficeRunning() const;
    bool StartOffice(const QString& program, const QString& document);
    void PrepareProfile() const;

    QTimer* m_timer = nullptr;
    qint32 m_tickCount = 0;
    QFileSystemWatcher* m_watcher = nullptr;
    QString m_outputPath;
    QStringList m_knownImages;

    int m_tickLimit = 180;
    // The process started last (the launcher, which on Linux execs into "oosplash" and then runs
    // "soffice.bin"); 0 when none.
    qint64 m_launcherPid = 0;
    // Counts conversions, so a pass of announcements stops when a handler starts a new one.
    quint64 m_conversion = 0;

    // Ending our suite: polled, since its "soffice.bin" is no child of ours to wait on.
    QTimer* m_killTimer = nullptr;
    QElapsedTimer m_killClock;
    // What waits for the suite to end: a document to convert, a failure to report.
    QString m_pendingDocument;
    bool m_failPending = false;
};
