#include "JanusProcess.h"

#include "ChildProcess.h"
#include "janus/JanusAdmin.h"
#include "janus/JanusSession.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkRequest>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTest>
#include <QUrl>
#include <QWebSocket>

#include <optional>

namespace {

const int kStartTimeoutMs = 20000;

// True when Janus answers an "info" request on url within timeoutMs.
bool answersInfo(const QString& url, int timeoutMs)
{
    QWebSocket ws;
    QNetworkRequest request { QUrl(url) };
    // Janus refuses a WebSocket client that does not speak its subprotocol.
    request.setRawHeader("Sec-WebSocket-Protocol", "janus-protocol");
    bool answered = false;
    QObject::connect(&ws, &QWebSocket::textMessageReceived, [&answered](const QString& text) {
        answered = QJsonDocument::fromJson(text.toUtf8()).object().value(QLatin1String("janus"))
            == QLatin1String("server_info");
    });
    QObject::connect(&ws, &QWebSocket::connected,
        [&ws] { ws.sendTextMessage(QStringLiteral("{\"janus\":\"info\",\"transaction\":\"probe\"}")); });
    ws.open(request);
    QElapsedTimer clock;
    clock.start();
    while (!answered && clock.elapsed() < timeoutMs && ws.state() != QAbstractSocket::UnconnectedState)
        QTest::qWait(20);
    ws.abort();
    return answered;
}

} // namespace

JanusProcess::JanusProcess()
{
    const quint64 a = QRandomGenerator::system()->generate64();
    const quint64 b = QRandomGenerator::system()->generate64();
    m_adminKey = QStringLiteral("%1%2").arg(a, 16, 16, QLatin1Char('0')).arg(b, 16, 16, QLatin1Char('0'));
}

JanusProcess::~JanusProcess()
{
    stop();
}

bool JanusProcess::start(QString* error)
{
    stop();
    const QString script = QStringLiteral(LECTERN_SOURCE_DIR "/server/janus/start-janus.sh");
    if (QStandardPaths::findExecutable(QStringLiteral("janus")).isEmpty()) {
        *error
            = QStringLiteral("janus is not installed (Debian package janus; scripts/setup.sh installs it)");
        return false;
    }
    if (!QFile::exists(script)) {
        *error = QStringLiteral("no start script at ") + script;
        return false;
    }
    if (!m_dir.isValid()) {
        *error = QStringLiteral("no temporary folder: ") + m_dir.errorString();
        return false;
    }
    // Two free ports in a row: the WebSocket transport, and the Admin API on the next one (where
    // lectern-server looks for it by default).
    m_port = 0;
    for (int attempt = 0; attempt < 20 && !m_port; ++attempt) {
        QTcpServer probe;
        if (!probe.listen(QHostAddress(QLatin1String(kAddress)), 0)) {
            *error
                = QStringLiteral("cannot listen on %1 (%2): media tests run inside tests/media/netns-run.sh")
                      .arg(QLatin1String(kAddress), probe.errorString());
            return false;
        }
        QTcpServer next;
        if (probe.serverPort() < 65535
            && next.listen(QHostAddress(QLatin1String(kAddress)), probe.serverPort() + 1))
            m_port = probe.serverPort();
    }
    if (!m_port) {
        *error = QStringLiteral("no two free ports in a row on %1").arg(QLatin1String(kAddress));
        return false;
    }
    // A range of its own, so two Janus in one namespace never compete for a port.
    const int low = 20000 + int(QRandomGenerator::global()->bounded(40)) * 500;

    // The key goes over as a file, as the packaged service gives it.
    const QString keyFile = m_dir.filePath(QStringLiteral("admin-key"));
    QFile key(keyFile);
    if (!key.open(QIODevice::WriteOnly) || key.write(m_adminKey.toLatin1() + '\n') <= 0 || !key.flush()) {
        *error = QStringLiteral("cannot write %1: %2").arg(keyFile, key.errorString());
        return false;
    }
    key.close();

    m_output.clear();
    m_process.reset(new ChildProcess);
    m_process->setProcessChannelMode(QProcess::MergedChannels);
    QStringList args { script, QStringLiteral("--dir"), m_dir.path(), QStringLiteral("--port"),
        QString::number(m_port), QStringLiteral("--admin-key-file"), keyFile, QStringLiteral("--bind"),
        QLatin1String(kAddress), QStringLiteral("--admin-bind"), QLatin1String(kAddress),
        QStringLiteral("--local-ip"), QLatin1String(kAddress), QStringLiteral("--ice-interface"),
        QLatin1String(kInterface), QStringLiteral("--rtp-ports"),
        QStringLiteral("%1-%2").arg(low).arg(low + 499) };
    if (!m_recordings.isEmpty())
        args << QStringLiteral("--recordings") << m_recordings;
    m_process->start(QStringLiteral("/bin/bash"), args);
    if (!m_process->waitForStarted(5000)) {
        *error = QStringLiteral("cannot start %1: %2").arg(script, m_process->errorString());
        return false;
    }
    QElapsedTimer clock;
    clock.start();
    while (isRunning() && clock.elapsed() < kStartTimeoutMs) {
        if (answersInfo(url(), 500))
            return true;
        QTest::qWait(100);
    }
    *error = (isRunning() ? QStringLiteral("Janus did not answer on %1: ").arg(url())
                          : QStringLiteral("Janus ended: "))
        + output();
    stop();
    return false;
}

bool JanusProcess::addToken(const QString& token, QString* error)
{
    JanusAdmin admin(QUrl(adminUrl()), m_adminKey);
    std::optional<QJsonObject> answer;
    admin.addToken(token, [&answer](const QJsonObject& a) { answer = a; });
    if (!QTest::qWaitFor([&answer] { return answer.has_value(); }, 10000) || !JanusSession::ok(*answer)) {
        *error = QStringLiteral("Janus added no token: %1")
                     .arg(answer ? JanusSession::errorText(*answer) : QStringLiteral("no answer"));
        return false;
    }
    return true;
}

bool JanusProcess::stop()
{
    if (!m_process)
        return false;
    const bool wasRunning = isRunning();
    if (wasRunning) {
        m_process->terminate();
        if (!m_process->waitForFinished(5000)) {
            m_process->kill();
            m_process->waitForFinished(3000);
        }
    }
    m_output += m_process->readAll();
    m_process.reset();
    return wasRunning;
}

bool JanusProcess::isRunning() const
{
    return m_process && m_process->state() != QProcess::NotRunning;
}

qint64 JanusProcess::processId() const
{
    return m_process ? m_process->processId() : 0;
}

QString JanusProcess::output()
{
    if (m_process)
        m_output += m_process->readAll();
    return QString::fromUtf8(m_output.right(4000));
}
