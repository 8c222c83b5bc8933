#include "RoomTestKit.h"

#include "FakeILive.h"
#include "remote/AppServer.h"
#include "remote/Request.h"
#include "room/LiveDlg.h"

#include <QAbstractButton>
#include <QPushButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QWidget>

namespace roomkit {

namespace {

quint16 FreePort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}

QStringList& Captured()
{
    static QStringList lines;
    return lines;
}
int g_captureDepth = 0;
QtMessageHandler g_previousHandler = nullptr;

void CaptureHandler(QtMsgType, const QMessageLogContext&, const QString& message)
{
    Captured().append(message);
}

} // namespace

Server::~Server()
{
    stop();
}

bool Server::start(QString* error)
{
    const QString exe = QStringLiteral(LECTERN_BIN_DIR "/lectern-server");
    if (!QFile::exists(exe)) {
        *error = QStringLiteral("no server at ") + exe;
        return false;
    }
    m_port = FreePort();
    do
        m_livePort = FreePort();
    while (m_livePort == m_port);
    m_process.reset(new QProcess);
    m_process->setProcessChannelMode(QProcess::MergedChannels);
    m_process->start(exe, { "--port", QString::number(m_port), "--live-port", QString::number(m_livePort), "--db",
                            m_dir.filePath("lectern.db"), "--demo" });
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
            *error = QStringLiteral("server ended: ") + QString::fromUtf8(m_process->readAll());
            return false;
        }
        QTest::qWait(100);
    }
    *error = QStringLiteral("server did not answer");
    return false;
}

void Server::stop()
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

QString Server::jsonRpcUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1/app-server/jsonrpc/").arg(m_port);
}

BoxCatcher::BoxCatcher(QMessageBox::StandardButton answer) : m_answer(answer)
{
    connect(&m_timer, &QTimer::timeout, this, &BoxCatcher::poll);
    m_timer.start(20);
}

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
        s.buttons = box->standardButtons();
        s.defaultButton = box->defaultButton() ? box->standardButton(box->defaultButton()) : QMessageBox::NoButton;
        s.parent = box->parentWidget();
        m_seen << s;
        QAbstractButton* button = m_answer != QMessageBox::NoButton ? box->button(m_answer) : nullptr;
        if (!button)
            button = box->defaultButton();
        if (button)
            button->click();
        else
            box->accept();
        box->hide();
    }
}

LogCapture::LogCapture()
{
    if (g_captureDepth++ == 0) {
        Captured().clear();
        g_previousHandler = qInstallMessageHandler(CaptureHandler);
    }
}

LogCapture::~LogCapture()
{
    if (--g_captureDepth == 0)
        qInstallMessageHandler(g_previousHandler);
}

QStringList LogCapture::lines() const
{
    return Captured();
}

bool LogCapture::contains(const QString& text) const
{
    return count(text) > 0;
}

int LogCapture::count(const QString& text) const
{
    int n = 0;
    for (const QString& line : Captured())
        if (line.contains(text))
            ++n;
    return n;
}

namespace {
// A widget, since the login call waits over its context.
struct Outcome : QWidget {
    bool done = false;
    bool ok = false;
    QVariantMap result;
    int code = 0;
};
void OnOk(const QVariantMap& result, void* context)
{
    auto* o = static_cast<Outcome*>(context);
    o->done = o->ok = true;
    o->result = result;
}
void OnFail(int code, const QVariantMap&, void* context)
{
    auto* o = static_cast<Outcome*>(context);
    o->done = true;
    o->code = code;
}
bool Wait(Outcome& o, QString* error, const char* what)
{
    QElapsedTimer clock;
    clock.start();
    while (!o.done && clock.elapsed() < 10000)
        QTest::qWait(20);
    if (!o.ok)
        *error = QStringLiteral("%1 failed, code %2").arg(what).arg(o.code);
    return o.ok;
}
} // namespace

bool SignIn(const QString& loginId, const QString& password, QString* error)
{
    Outcome o;
    AppServer_Login(loginId, password, OnOk, OnFail, &o);
    if (!Wait(o, error, "user.login"))
        return false;
    SessionRecord() = o.result;
    return true;
}

QVariantList ListLives(QString* error)
{
    Outcome o;
    AppServer_LiveList(OnOk, OnFail, &o, nullptr, false);
    if (!Wait(o, error, "live list"))
        return QVariantList();
    return o.result.value("list").toList();
}

FakeILive* InstallService()
{
    FakeILive* service = FakeILive::install();
    service->cameras = { { "cam0", "USB Camera" } };
    service->mics = { { "mic0", "Microphone" } };
    service->players = { { "spk0", "Speakers" } };
    ilive::iLive* live = GetILive();
    live->setDeviceOperationCallback(&LiveDlg::OnDeviceOperation, nullptr);
    live->setLocalVideoCallBack(&LiveDlg::OnLocalVideoFrame, nullptr);
    live->setRemoteVideoCallBack(&LiveDlg::OnRemoteVideoFrame, nullptr);
    live->setMessageCallBack(&LiveDlg::OnMessageCallback, nullptr);
    service->lastRoomOption.roomDisconnectListener = &LiveDlg::OnRoomDisconnect;
    service->lastRoomOption.memberStatusListener = &LiveDlg::OnMemStatusChange;
    service->calls.clear();
    return service;
}

LiveDlg* OpenRoom(const QString& liveId, int avRoomId)
{
    auto* dlg = new LiveDlg;
    g_liveDlg = dlg;
    dlg->setLiveId(liveId);
    dlg->setAvRoomId(avRoomId);
    dlg->setWindowTitle(QStringLiteral("物理课"));
    dlg->showMaximized();
    return dlg;
}

void DiscardRoom()
{
    if (!g_liveDlg)
        return;
    LiveDlg* dlg = g_liveDlg;
    g_liveDlg = nullptr;
    dlg->hide();
    delete dlg;
}

QList<QPair<int, QString>> SentCommands(const FakeILive* service)
{
    QList<QPair<int, QString>> commands;
    for (const FakeILive::Sent& sent : service->sent) {
        const QString data = FakeILive::customDataOf(sent.msg);
        if (data.isEmpty())
            continue;
        const QJsonObject cmd = QJsonDocument::fromJson(data.toUtf8()).object();
        commands.append(qMakePair(cmd.value("userAction").toInt(), cmd.value("actionParam").toString()));
    }
    return commands;
}

bool WaitForRequests(int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (Request::LiveCount() > 0 && clock.elapsed() < timeoutMs)
        QTest::qWait(20);
    return Request::LiveCount() == 0;
}

} // namespace roomkit
