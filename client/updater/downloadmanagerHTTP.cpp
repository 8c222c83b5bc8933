#include "downloadmanagerHTTP.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QStandardPaths>
#include <QTimer>
#include <QtDebug>

namespace {
constexpr int kStallMs = 5000;
}

DownloadManagerHTTP::DownloadManagerHTTP(QObject* parent)
    : QObject(parent)
    , m_downloadFolder(QStandardPaths::standardLocations(QStandardPaths::DownloadLocation).value(0))
    , m_timer(new QTimer(this))
{
    m_timer->setSingleShot(true);
    m_timer->setInterval(kStallMs);
    connect(m_timer, &QTimer::timeout, this, &DownloadManagerHTTP::timeout);
}

DownloadManagerHTTP::~DownloadManagerHTTP()
{
    // Whoever listened may be half destroyed already (a parent deletes its children last).
    blockSignals(true);
    if (m_reply)
        pause();
}

void DownloadManagerHTTP::download(QUrl url)
{
    download(url, QString());
}

void DownloadManagerHTTP::download(QUrl url, QString filename)
{
    qDebug() << "download: URL=" << url.toString() << ",filename:" << filename;
    // Starting over: the running transfer is dropped quietly.
    m_timer->stop();
    dropReply();
    delete m_file;
    m_file = nullptr;

    if (filename.isEmpty()) {
        // A name taken from the address must not climb out of the download folder.
        filename = url.fileName();
        filename = filename.mid(filename.lastIndexOf(QLatin1Char('\\')) + 1);
    }
    if (filename.isEmpty() || filename == QLatin1String(".") || filename == QLatin1String(".."))
        filename = QStringLiteral("download");
    m_fileName = m_downloadFolder + "/" + filename;
    m_partFile = m_fileName + ".part";
    m_url = url;
    m_received = 0;
    m_offset = 0;
    m_totalSize = 0;
    m_acceptRanges = false;
    QDir().mkpath(m_downloadFolder);

    if (!m_manager)
        m_manager = new QNetworkAccessManager(this);
    m_request = QNetworkRequest(url);
    m_request.setAttribute(
        QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    // Sizes and ranges count the file's own bytes, never a compressed transfer.
    m_request.setRawHeader("Accept-Encoding", "identity");
    m_reply = m_manager->head(m_request);
    m_timer->start();
    connect(m_reply, &QNetworkReply::finished, this, &DownloadManagerHTTP::finishedHead);
    connect(m_reply, &QNetworkReply::errorOccurred, this, &DownloadManagerHTTP::error);
}

void DownloadManagerHTTP::finishedHead()
{
    qDebug() << "http get head finish";
    m_timer->stop();
    m_acceptRanges = false;
    QNetworkReply* head = m_reply;
    m_reply = nullptr;

    for (const auto& header : head->rawHeaderPairs())
        emit addLine(QString::fromUtf8(header.first + " = " + header.second));
    // An error page's size and ranges say nothing about the file.
    const bool headOk = head->error() == QNetworkReply::NoError;
    if (headOk && head->hasRawHeader("Accept-Ranges")) {
        const QByteArray value = head->rawHeader("Accept-Ranges");
        m_acceptRanges = value.trimmed().compare("bytes", Qt::CaseInsensitive) == 0;
        qDebug() << "Accept-Ranges =" << value << m_acceptRanges;
    }
    m_totalSize
        = headOk ? qMax<qint64>(0, head->header(QNetworkRequest::ContentLengthHeader).toLongLong()) : 0;
    head->deleteLater();

    m_request.setRawHeader("Connection", "Keep-Alive");
    m_request.setAttribute(QNetworkRequest::HttpPipeliningAllowedAttribute, true);
    if (!openPartFile()) {
        fail();
        return;
    }
    download();
}

bool DownloadManagerHTTP::openPartFile()
{
    m_file = new QFile(m_partFile, this);
    if (!m_acceptRanges)
        QFile::remove(m_partFile);
    if (!m_file->open(QIODevice::ReadWrite | QIODevice::Append)) {
        qDebug() << "cannot open" << m_partFile << m_file->errorString();
        return false;
    }
    m_offset = m_file->size();
    // A part file as long as the whole file or longer is not a prefix we can trust.
    if (m_totalSize > 0 && m_offset >= m_totalSize)
        restartPartFile();
    return true;
}

void DownloadManagerHTTP::restartPartFile()
{
    m_file->resize(0);
    m_offset = 0;
    m_received = 0;
}

void DownloadManagerHTTP::download()
{
    qDebug() << "download()";
    if (!m_file) {
        // Paused before the size query finished: ask again.
        download(m_url, QFileInfo(m_fileName).fileName());
        return;
    }
    // Without ranges the server sends the whole file; it must not land after old bytes. A part
    // file that already holds every byte (paused at the very end) has no range left to ask for.
    if ((!m_acceptRanges && m_offset > 0) || (m_totalSize > 0 && m_offset >= m_totalSize))
        restartPartFile();
    if (m_acceptRanges) {
        QByteArray range = "bytes=" + QByteArray::number(m_offset) + "-";
        if (m_totalSize > 0)
            range += QByteArray::number(m_totalSize);
        m_request.setRawHeader("Range", range);
    } else {
        m_request.setRawHeader("Range", QByteArray());
    }
    m_rangeChecked = false;
    m_reply = m_manager->get(m_request);
    m_timer->start();
    connect(m_reply, &QNetworkReply::finished, this, &DownloadManagerHTTP::finished);
    connect(m_reply, &QNetworkReply::downloadProgress, this, &DownloadManagerHTTP::downloadProgress);
    connect(m_reply, &QNetworkReply::errorOccurred, this, &DownloadManagerHTTP::error);
}

void DownloadManagerHTTP::checkRangeAnswer()
{
    if (m_rangeChecked || !m_reply || !m_file)
        return;
    const int status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status == 0)
        return;
    m_rangeChecked = true;
    if (status == 200 && m_offset > 0) {
        // The range was ignored and the whole file is coming: start the part file over.
        qDebug() << "range ignored by the server, starting over";
        restartPartFile();
    } else if (status == 206) {
        const QByteArray contentRange = m_reply->rawHeader("Content-Range");
        const QByteArray first = contentRange.mid(contentRange.indexOf(' ') + 1).split('-').value(0);
        bool ok = false;
        if (first.toLongLong(&ok) != m_offset || !ok) {
            qDebug() << "unexpected Content-Range" << contentRange << "for offset" << m_offset;
            fail();
        }
    }
}

void DownloadManagerHTTP::writeBuffered()
{
    if (!m_reply || !m_file)
        return;
    const QByteArray data = m_reply->readAll();
    if (!data.isEmpty() && m_file->write(data) != data.size()) {
        qDebug() << "cannot write" << m_partFile << m_file->errorString();
        fail();
    }
}

void DownloadManagerHTTP::downloadProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    m_timer->stop();
    // An error page is not part of the file, and its size is no progress.
    if (m_reply->error() != QNetworkReply::NoError)
        return;
    checkRangeAnswer();
    if (!m_reply)
        return;
    m_received = m_offset + bytesReceived;
    qDebug() << "Download Progress: Received=" << m_received << ": Total=" << m_offset + bytesTotal;
    writeBuffered();
    if (!m_reply)
        return;
    // Without any size the share done is unknown; better no figure than a wrong one.
    const qint64 whole = bytesTotal > 0 ? m_offset + bytesTotal : m_totalSize;
    if (whole > 0) {
        const int percentage = int(qBound(0.0, m_received * 100.0 / whole, 100.0));
        qDebug() << percentage;
        emit progress(percentage);
    }
    m_timer->start();
}

void DownloadManagerHTTP::timeout()
{
    qDebug() << "DownloadManagerHTTP::timeout";
}

void DownloadManagerHTTP::error(QNetworkReply::NetworkError code)
{
    qDebug() << "DownloadManagerHTTP::error"
             << "(" << code << ")";
}

qint64 DownloadManagerHTTP::expectedSize() const
{
    const int status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status == 206) {
        const QByteArray contentRange = m_reply->rawHeader("Content-Range");
        bool ok = false;
        const qint64 total = contentRange.mid(contentRange.lastIndexOf('/') + 1).toLongLong(&ok);
        if (ok)
            return total;
    }
    const QVariant length = m_reply->header(QNetworkRequest::ContentLengthHeader);
    if (length.isValid())
        return m_offset + length.toLongLong();
    return m_totalSize > 0 ? m_totalSize : -1;
}

// Silences and aborts the running reply, if any; its own signals no longer reach us.
void DownloadManagerHTTP::dropReply()
{
    if (!m_reply)
        return;
    disconnect(m_reply, nullptr, this, nullptr);
    m_reply->abort();
    m_reply->deleteLater();
    m_reply = nullptr;
}

void DownloadManagerHTTP::fail()
{
    m_timer->stop();
    dropReply();
    delete m_file;
    m_file = nullptr;
    QFile::remove(m_fileName);
    QFile::remove(m_partFile);
    emit downloadError();
}

void DownloadManagerHTTP::finished()
{
    qDebug() << "DownloadManagerHTTP::finished";
    m_timer->stop();
    const bool transferred = m_reply->error() == QNetworkReply::NoError;
    if (transferred) {
        checkRangeAnswer();
        writeBuffered();
        if (!m_reply)
            return; // already failed and reported
    }
    const int status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const qint64 expected = transferred ? expectedSize() : -1;
    m_file->flush();
    const qint64 got = m_file->size();
    m_file->close();
    delete m_file;
    m_file = nullptr;
    m_reply->deleteLater();
    m_reply = nullptr;

    bool ok = transferred && status >= 200 && status < 300;
    if (ok && expected >= 0 && got != expected) {
        qDebug() << "download incomplete:" << got << "of" << expected << "bytes";
        ok = false;
    }
    if (ok && QFile::exists(m_fileName) && !QFile::remove(m_fileName)) {
        qDebug() << "cannot replace" << m_fileName;
        ok = false;
    }
    if (ok && !QFile::rename(m_partFile, m_fileName)) {
        qDebug() << "cannot rename" << m_partFile << "to" << m_fileName;
        ok = false;
    }
    if (ok) {
        emit downloadComplete(m_fileName);
        return;
    }
    QFile::remove(m_fileName);
    QFile::remove(m_partFile);
    emit downloadError();
}

void DownloadManagerHTTP::pause()
{
    qDebug() << "pause() = " << m_received;
    if (!m_reply)
        return;
    m_timer->stop();
    if (m_file) {
        // Keep what has arrived; the part file itself says where to go on.
        checkRangeAnswer();
        writeBuffered();
        if (!m_reply)
            return;
    }
    dropReply();
    if (m_file) {
        m_file->flush();
        m_offset = m_file->size();
    }
    m_received = 0;
}

void DownloadManagerHTTP::resume()
{
    qDebug() << "resume() = " << m_offset;
    if (m_reply || !m_url.isValid())
        return;
    download();
}
