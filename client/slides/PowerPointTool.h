#pragma once

#include <QDir>
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
    void KillOffice();
    void OpenFile(QString path);

    // The folder that holds "LibreOfficePortable"; the executable's folder unless set (tests).
    void SetApplicationFolder(const QString& folder);
    // Ticks a conversion may wait for its first image (180 unless set, for tests).
    void SetTickLimit(int ticks);

signals:
    void OpenFail();
    void NewSlides(QString path);

private:
    explicit PowerPointTool(QObject* parent = nullptr);

    void CreateOutputPath();
    void RemoveLockFiles(QDir folder);
    void OnTimer();
    void OnFileChanged(const QString& path);
    void RaiseFail();

    QString ApplicationFolder() const;
    QString ProfileFolder() const;
    QString OwnerMarker() const;
    QString OfficeProgram() const;
    void KillOwnOffice();
    bool OwnOfficeRunning() const;
    bool StartOffice(const QString& program, const QString& parameters, const QString& document);

    QTimer* m_timer = nullptr;
    qint32 m_tickCount = 0;
    QFileSystemWatcher* m_watcher = nullptr;
    QString m_outputPath;
    QStringList m_knownImages;

    int m_tickLimit = 180;
    QString m_applicationFolder;
    // The process started last (the launcher, which on Linux execs into "oosplash" and then runs
    // "soffice.bin"); 0 when none.
    qint64 m_launcherPid = 0;
    // Counts conversions, so a pass of announcements stops when a handler starts a new one.
    quint64 m_conversion = 0;
};
