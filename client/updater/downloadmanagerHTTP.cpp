#include "downloadmanagerHTTP.h"

#include "DownloadHeaders.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QSaveFile>
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

void DownloadManagerHTTP::setStallTimeoutMs(int ms)
{
    m_timer->setInterval(ms);
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
    m_validator.clear();
    m_restarted = false;
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
    // An error page's size, ranges and identity say nothing about the file.
    if (head->error() == QNetworkReply::NoError) {
        const DownloadHeaders headers = DownloadHeaders::parse(head->rawHeaderPairs());
        if (head->hasRawHeader("Accept-Ranges")) {
            m_acceptRanges = headers.acceptRanges;
            qDebug() << "Accept-Ranges =" << head->rawHeader("Accept-Ranges") << m_acceptRanges;
        }
        m_totalSize = qMax<qint64>(0, headers.contentLength);
        m_validator = headers.validator;
    }
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
    // Bytes kept from another version of the file would be completed with this one's: the part
    // file goes on only where it was written for the file the server names now.
    if (!m_acceptRanges || storedValidator() != m_validator) {
        if (QFileInfo(m_partFile).size() > 0)
            qDebug() << "part file" << m_partFile << "is not from this file, starting over";
        removePartFiles();
    }
    if (!m_file->open(QIODevice::ReadWrite | QIODevice::Append)) {
        qDebug() << "cannot open" << m_partFile << m_file->errorString();
        return false;
    }
    m_offset = m_file->size();
    // A part file as long as the whole file or longer is not a prefix we can trust.
    if (m_totalSize > 0 && m_offset >= m_totalSize)
        restartPartFile();
    return storeValidator();
}

QByteArray DownloadManagerHTTP::storedValidator() const
{
    QFile file(validatorFile());
    return file.open(QIODevice::ReadOnly) ? file.read(4096) : QByteArray();
}

// Written before any byte of the file lands in the part file.
bool DownloadManagerHTTP::storeValidator()
{
    if (m_validator.isEmpty()) {
        QFile::remove(validatorFile());
        return !QFile::exists(validatorFile());
    }
    QSaveFile file(validatorFile());
    if (!file.open(QIODevice::WriteOnly) || file.write(m_validator) != m_validator.size() || !file.commit()) {
        qDebug() << "cannot write" << validatorFile() << file.errorString();
        return false;
    }
    return true;
}

void DownloadManagerHTTP::removePartFiles()
{
    QFile::remove(m_partFile);
    QFile::remove(validatorFile());
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
    // The server sends the whole file instead of the rest when it is no longer the same file.
    const bool continuing = m_acceptRanges && m_offset > 0 && !m_validator.isEmpty();
    m_request.setRawHeader("If-Range", continuing ? m_validator : QByteArray());
    m_rangeChecked = false;
    m_reply = m_manager->get(m_request);
    m_timer->start();
    connect(m_reply, &QNetworkReply::finished, this, &DownloadManagerHTTP::finished);
    connect(m_reply, &QNetworkReply::downloadProgress, this, &DownloadManagerHTTP::downloadProgress);
    connect(m_reply, &QNetworkReply::errorOccurred, this, &DownloadManagerHTTP::error);
}

// False when the current reply's bytes are not to be kept: the download failed or started over.
bool DownloadManagerHTTP::checkRangeAnswer()
{
    if (m_rangeChecked || !m_reply || !m_file)
        return m_reply != nullptr;
    const int status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status == 0)
        return true;
    m_rangeChecked = true;
    if (status < 200 || status >= 300)
        return true;
    const DownloadHeaders headers = DownloadHeaders::parse(m_reply->rawHeaderPairs());
    if (status == 206 && !headers.validator.isEmpty() && headers.validator != m_validator) {
        // The rest of some other file: what we hold and what comes do not belong together.
        qDebug() << "the file changed during the download, starting over";
        m_validator = headers.validator;
        restartTransfer();
        return false;
    }
    if (status == 206 && (!headers.hasRange || headers.rangeFirst != m_offset)) {
        qDebug() << "unexpected Content-Range" << m_reply->rawHeader("Content-Range") << "for offset"
                 << m_offset;
        fail();
        return false;
    }
    if (status == 200 && m_offset > 0) {
        // The range was ignored, or the file changed: the whole file is coming.
        qDebug() << "range ignored by the server, starting over";
        restartPartFile();
    }
    if (status == 200 && headers.validator != m_validator) {
        m_validator = headers.validator;
        if (!storeValidator()) {
            fail();
            return false;
        }
    }
    return true;
}

// Asks again from the first byte, keeping nothing of what came before.
void DownloadManagerHTTP::restartTransfer()
{
    // A server whose file keeps changing under us gets one new start, not endless ones.
    if (m_restarted) {
        fail();
        return;
    }
    m_restarted = true;
    dropReply();
    restartPartFile();
    if (!storeValidator()) {
        fail();
        return;
    }
    download();
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
    if (!checkRangeAnswer())
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
    // Nothing arrived for the whole period: a server that hangs must not hold the client.
    if (m_reply)
        fail();
}

void DownloadManagerHTTP::error(QNetworkReply::NetworkError code)
{
    qDebug() << "DownloadManagerHTTP::error"
             << "(" << code << ")";
}

qint64 DownloadManagerHTTP::expectedSize() const
{
    const int status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const DownloadHeaders headers = DownloadHeaders::parse(m_reply->rawHeaderPairs());
    if (status == 206 && headers.completeLength >= 0)
        return headers.completeLength;
    if (headers.contentLength >= 0)
        return m_offset + headers.contentLength;
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
    removePartFiles();
    emit downloadError();
}

void DownloadManagerHTTP::finished()
{
    qDebug() << "DownloadManagerHTTP::finished";
    m_timer->stop();
    const bool transferred = m_reply->error() == QNetworkReply::NoError;
    if (transferred) {
        if (!checkRangeAnswer())
            return; // failed and reported, or asked again
        writeBuffered();
        if (!m_reply)
            return;
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
        QFile::remove(validatorFile());
        emit downloadComplete(m_fileName);
        return;
    }
    QFile::remove(m_fileName);
    removePartFiles();
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
        if (checkRangeAnswer())
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
