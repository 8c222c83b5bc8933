#include "LobbyTestKit.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QVariantMap>

ServerProcess::~ServerProcess()
{
    stop();
}

quint16 FreeLoopbackPort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}

bool ServerProcess::start(QString* error)
{
    const QString exe = QStringLiteral(LECTERN_BIN_DIR "/lectern-server");
    if (!QFile::exists(exe)) {
        *error = QStringLiteral("no server at ") + exe;
        return false;
    }
    m_port = FreeLoopbackPort();
    m_livePort = FreeLoopbackPort();
    while (m_livePort == m_port)
        m_livePort = FreeLoopbackPort();
    m_process.reset(new QProcess);
    m_process->setProcessChannelMode(QProcess::MergedChannels);
    m_process->start(exe,
        { QStringLiteral("--port"), QString::number(m_port), QStringLiteral("--live-port"),
            QString::number(m_livePort), QStringLiteral("--db"), m_dir.filePath("lectern.db"),
            QStringLiteral("--downloads"), m_dir.filePath("downloads"), QStringLiteral("--demo") });
    if (!m_process->waitForStarted(5000)) {
        *error = m_process->errorString();
        return false;
    }
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 15000) {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, m_port);
        if (socket.waitForConnected(200))
            return true;
        if (m_process->state() != QProcess::Running) {
            *error = QStringLiteral("server ended: ") + output();
            return false;
        }
        QTest::qWait(100);
    }
    *error = QStringLiteral("server did not answer: ") + output();
    return false;
}

void ServerProcess::stop()
{
    if (!m_process)
        return;
    m_process->terminate();
    if (!m_process->waitForFinished(3000)) {
        m_process->kill();
        m_process->waitForFinished(3000);
    }
    m_process.reset();
}

QString ServerProcess::jsonRpcUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1/app-server/jsonrpc/").arg(m_port);
}

QString ServerProcess::liveUrl() const
{
    return QStringLiteral("ws://127.0.0.1:%1/live").arg(m_livePort);
}

QString ServerProcess::output() const
{
    return m_process ? QString::fromUtf8(m_process->readAll()) : QString();
}

BoxCatcher::BoxCatcher(std::function<void(QMessageBox*)> onBox)
    : m_onBox(std::move(onBox))
{
    connect(&m_timer, &QTimer::timeout, this, &BoxCatcher::poll);
    m_timer.start(20);
}

BoxCatcher::~BoxCatcher() = default;

QStringList BoxCatcher::texts() const
{
    QStringList list;
    for (const Seen& s : m_seen)
        list << s.text;
    return list;
}

void BoxCatcher::poll()
{
    for (QWidget* w : QApplication::topLevelWidgets()) {
        auto* box = qobject_cast<QMessageBox*>(w);
        if (!box || !box->isVisible())
            continue;
        Seen s;
        s.title = box->windowTitle();
        s.text = box->text();
        s.icon = box->icon();
        s.modal = box->isModal();
        s.onTop = box->windowFlags().testFlag(Qt::WindowStaysOnTopHint);
        m_seen << s;
        if (m_onBox)
            m_onBox(box);
        box->accept();
        box->hide();
    }
}

QVariantMap MakeLive(const QString& id, const QString& state, qint64 startMs, qint64 endMs,
    const QVariant& avRoomId, const QString& title)
{
    // As the app server's answers arrive: every scalar as text, null where absent.
    QVariantMap live;
    live["liveId"] = id;
    live["title"] = title.isEmpty() ? QStringLiteral("直播课 ") + id : title;
    live["remark"] = QStringLiteral("备注 ") + id;
    live["startTime"] = QString::number(startMs);
    live["endTime"] = QString::number(endMs);
    live["state"] = state;
    live["avRoomId"] = avRoomId.isNull() ? QVariant() : QVariant(avRoomId.toString());
    return live;
}
