#pragma once

#include <QNetworkReply>
#include <QNetworkRequest>
#include <QObject>
#include <QString>
#include <QUrl>

class QFile;
class QNetworkAccessManager;
class QTimer;

// Downloads one file over HTTP into the download folder through a ".part" file, continuing an
// earlier ".part" where the server accepts byte ranges; can pause and resume.
class DownloadManagerHTTP : public QObject {
    Q_OBJECT
public:
    explicit DownloadManagerHTTP(QObject* parent = nullptr);
    ~DownloadManagerHTTP() override;

    QString downloadFolder() const { return m_downloadFolder; }
    // Where files land; the platform's download folder unless set.
    void setDownloadFolder(const QString& folder) { m_downloadFolder = folder; }
    QString fileName() const { return m_fileName; }
    QString partFileName() const { return m_partFile; }
    bool isRunning() const { return m_reply != nullptr; }
    // How long a transfer may go without progress before it fails (5000 ms unless set).
    void setStallTimeoutMs(int ms);

signals:
    void addLine(QString line);
    void downloadComplete(QString path);
    void progress(int percentage);
    void downloadError();

public slots:
    void download(QUrl url, QString filename);
    void download(QUrl url);
    void pause();
    void resume();

private slots:
    void download();
    void finishedHead();
    void finished();
    void downloadProgress(qint64 bytesReceived, qint64 bytesTotal);
    void error(QNetworkReply::NetworkError code);
    void timeout();

private:
    bool openPartFile();
    void restartPartFile();
    QString validatorFile() const { return m_partFile + ".validator"; }
    QByteArray storedValidator() const;
    bool storeValidator();
    void removePartFiles();
    bool checkRangeAnswer();
    void writeBuffered();
    void fail();
    void dropReply();
    qint64 expectedSize() const;
    void restartTransfer();

    QUrl m_url;
    QString m_partFile;
    QString m_fileName;
    QString m_downloadFolder;
    QNetworkAccessManager* m_manager = nullptr;
    QNetworkRequest m_request;
    QNetworkReply* m_reply = nullptr;
    QFile* m_file = nullptr;
    qint64 m_totalSize = 0;
    bool m_acceptRanges = false;
    qint64 m_received = 0;
    qint64 m_offset = 0;
    QTimer* m_timer = nullptr;
    bool m_rangeChecked = false; // the current GET's status has been matched against the offset
    QByteArray m_validator; // the file's identity the part file's bytes belong to
    bool m_restarted = false; // this download already started over once
};
