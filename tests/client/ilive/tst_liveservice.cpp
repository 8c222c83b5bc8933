// The shipped live-video service on its own: the boundary types, colour conversion, the render
// view, and every device path on a machine without devices or a media room.
#include "ilive/FrameConvert.h"
#include "ilive/LiveService.h"
#include "ilive/RenderRootView.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTcpServer>
#include <QWebSocket>
#include <QWebSocketServer>
#include <QWidget>
#include <QtTest>

namespace {

struct Outcome {
    int successes = 0;
    int failures = 0;
    int code = -1;
    QString desc;
};

void onSuc(void* data)
{
    static_cast<Outcome*>(data)->successes++;
}

void onErr(int code, const char* desc, void* data)
{
    auto* o = static_cast<Outcome*>(data);
    o->failures++;
    o->code = code;
    o->desc = QString::fromUtf8(desc);
}

QList<QPair<int, int>> g_deviceOps;
void onDeviceOp(ilive::E_DeviceOperationType op, int code, void*)
{
    g_deviceOps << qMakePair(int(op), code);
}

QByteArray rgb32Of(const QImage& image)
{
    return frameconvert::fromImage(image, ilive::COLOR_FORMAT_RGB32);
}

ilive::LiveVideoFrame frameOf(const QString& user, const QByteArray& pixels, int w, int h,
    ilive::E_ColorFormat format = ilive::COLOR_FORMAT_RGB32)
{
    ilive::LiveVideoFrame f;
    const QByteArray id = user.toUtf8();
    f.identifier = ilive::String(id.constData(), size_t(id.size()));
    f.data = reinterpret_cast<const uint8_t*>(pixels.constData());
    f.dataSize = uint32_t(pixels.size());
    f.desc.colorFormat = format;
    f.desc.width = uint32_t(w);
    f.desc.height = uint32_t(h);
    f.desc.srcType = ilive::VIDEO_SRC_TYPE_CAMERA;
    return f;
}

bool render(RenderRootView& view, const QString& user, const QByteArray& pixels)
{
    const ilive::LiveVideoFrame frame = frameOf(user, pixels, 100, 50);
    return view.doRender(&frame);
}

quint16 closedPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const quint16 port = probe.serverPort();
    probe.close();
    return port;
}

// A relay stand-in that answers what it is told to and can slip pushes in before a reply.
class ScriptedRelay : public QObject {
public:
    ScriptedRelay()
        : server(QStringLiteral("scripted"), QWebSocketServer::NonSecureMode)
    {
        server.listen(QHostAddress::LocalHost, 0);
        connect(&server, &QWebSocketServer::newConnection, this, [this] {
            QWebSocket* ws = server.nextPendingConnection();
            ws->setParent(this);
            connect(ws, &QWebSocket::textMessageReceived, this, [this, ws](const QString& text) {
                const QJsonObject req = QJsonDocument::fromJson(text.toUtf8()).object();
                const QString op = req.value("op").toString();
                ops << op;
                if (op == "login" && !answerLogin)
                    return;
                for (const QByteArray& push : pushesBefore.take(op))
                    ws->sendTextMessage(QString::fromUtf8(push));
                ws->sendTextMessage(QString::fromUtf8(QJsonDocument(
                    QJsonObject { { "op", "reply" }, { "id", req.value("id") },
                        { "code", 0 } }).toJson(QJsonDocument::Compact)));
            });
        });
    }
    QUrl url() const { return QUrl(QStringLiteral("ws://127.0.0.1:%1/live").arg(server.serverPort())); }

    QWebSocketServer server;
    bool answerLogin = true;
    QStringList ops;
    QHash<QString, QList<QByteArray>> pushesBefore; // by the op whose reply they precede
};

QByteArray chatFrom(const QString& sender, const QString& text, bool group)
{
    return QJsonDocument(QJsonObject { { "op", "msg" }, { "sender", sender }, { "group", group },
                             { "elems", QJsonArray { QJsonObject { { "type", 0 }, { "text", text } } } } })
        .toJson(QJsonDocument::Compact);
}

QStringList g_texts;
void onText(const ilive::Message& msg, void*)
{
    for (const ilive::MessageElem* e : msg.elems)
        if (e->type == ilive::TEXT)
            g_texts << QString::fromUtf8(static_cast<const ilive::MessageTextElem*>(e)->content.c_str());
}

} // namespace

class TestLiveService : public QObject {
    Q_OBJECT
private slots:
    void init() { g_deviceOps.clear(); }

    void colourFormatsConvertBothWays()
    {
        QImage image(5, 3, QImage::Format_RGB32); // odd sizes: chroma rounds up
        image.fill(qRgb(200, 40, 90));
        const QByteArray rgb = rgb32Of(image);
        QCOMPARE(rgb.size(), 5 * 3 * 4);
        QCOMPARE(frameconvert::toImage(frameOf("u", rgb, 5, 3)).pixel(4, 2), qRgb(200, 40, 90));

        const QByteArray i420 = frameconvert::fromImage(image, ilive::COLOR_FORMAT_I420);
        QCOMPARE(i420.size(), 5 * 3 + 2 * 3 * 2);
        const QImage back = frameconvert::toImage(frameOf("u", i420, 5, 3, ilive::COLOR_FORMAT_I420));
        QVERIFY(!back.isNull());
        const QRgb p = back.pixel(4, 2);
        QVERIFY(qAbs(qRed(p) - 200) <= 6 && qAbs(qGreen(p) - 40) <= 6 && qAbs(qBlue(p) - 90) <= 6);

        // A frame whose size does not match its data is refused, not read past its end.
        QVERIFY(frameconvert::toImage(frameOf("u", rgb.left(10), 5, 3)).isNull());
        QVERIFY(frameconvert::toImage(frameOf("u", i420.left(20), 5, 3, ilive::COLOR_FORMAT_I420)).isNull());
    }

    void renderViewShowsOnlyTheBoundStream()
    {
        QWidget host;
        host.resize(200, 200);
        host.show();
        QVERIFY(QTest::qWaitForWindowExposed(&host));

        RenderRootView view;
        QVERIFY(view.init(uintptr_t(host.winId())));
        view.setBackgroundColor(0xFF0000FF); // opaque blue

        QImage red(100, 50, QImage::Format_RGB32);
        red.fill(Qt::red);
        const QByteArray pixels = rgb32Of(red);
        QVERIFY(!render(view, "s1", pixels)); // nothing bound yet

        view.addView("s1", ilive::VIDEO_SRC_TYPE_CAMERA, ilive::iLiveView(ilive::VIEW_MODE_FIT, true, {}, 5));
        QVERIFY(render(view, "s1", pixels));
        QVERIFY(!render(view, "s2", pixels));
        QImage shot = host.grab().toImage();
        QCOMPARE(QColor(shot.pixel(100, 100)), QColor(Qt::red));
        QCOMPARE(QColor(shot.pixel(100, 5)), QColor(Qt::blue)); // fitted: bars above and below

        view.addView(
            "s1", ilive::VIDEO_SRC_TYPE_CAMERA, ilive::iLiveView(ilive::VIEW_MODE_HIDDEN, true, {}, 5));
        QVERIFY(render(view, "s1", pixels));
        shot = host.grab().toImage();
        QCOMPARE(QColor(shot.pixel(100, 5)), QColor(Qt::red)); // filled, cropped at the sides

        view.removeAllView(true);
        QVERIFY(!render(view, "s1", pixels));
        shot = host.grab().toImage();
        QCOMPARE(QColor(shot.pixel(100, 100)), QColor(Qt::blue));

        QPointer<RenderSurface> surface = view.surface();
        view.uninit();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(surface.isNull());
    }

    void devicesWithoutHardwareOrMediaRoomFailLaterAndScreenShareKeepsItsArea()
    {
        LiveService service;
        service.setDeviceOperationCallback(onDeviceOp, nullptr);
        ilive::Vector<ilive::Pair<ilive::String, ilive::String>> mics, players;
        QCOMPARE(service.getMicList(mics) + service.getPlayerList(players), 0);
        for (const auto* list : { &mics, &players })
            for (const auto& device : *list)
                QVERIFY2(!device.first.empty(), "a device without an id cannot be opened");

        service.openMic(""); // the nameless placeholder some backends list is not a device
        service.openCamera("no-such-camera");
        service.openPlayer("no-such-speaker");
        QVERIFY(g_deviceOps.isEmpty()); // results come from the event loop, never inside the call
        const int missing = LiveService::kDeviceMissing;
        QTRY_COMPARE(g_deviceOps,
            (QList<QPair<int, int>> { { ilive::E_OpenMic, missing }, { ilive::E_OpenCamera, missing },
                { ilive::E_OpenPlayer, missing } }));
        QVERIFY(!service.getCurCameraState() && !service.getCurMicState() && !service.getCurPlayerState());
        QVERIFY(service.setMicVolume(30) == 0 && service.setMicVolume(101) != 0);
        QCOMPARE(service.getMicVolume(), 30u);

        g_deviceOps.clear();
        service.openScreenShare(10, 10, 10, 50, 10); // empty area
        service.openScreenShare(0, 0, 320, 240, 10); // nowhere to send it: no media room
        QTRY_COMPARE(g_deviceOps.size(), 2);
        QCOMPARE(g_deviceOps[0], qMakePair(int(ilive::E_OpenScreenShare), int(LiveService::kBadArgument)));
        QCOMPARE(g_deviceOps[1], qMakePair(int(ilive::E_OpenScreenShare), int(LiveService::kDeviceFailed)));
        QCOMPARE(service.getScreenShareState(), 0);
        QVERIFY(service.changeScreenShareSize(50, 50, 40, 60) != 0);
        QCOMPARE(service.changeScreenShareSize(20, 30, 120, 130), 0);
        QCOMPARE(service.screenShareArea(), QRect(20, 30, 100, 100));
        service.closeScreenShare();
        QTRY_COMPARE(g_deviceOps.size(), 3);
        QCOMPARE(service.getScreenShareState(), 0);
    }

    void loginFailsExactlyOnceWithoutARelay()
    {
        LiveService service;
        service.setUrl(QUrl(QStringLiteral("ws://127.0.0.1:%1/live").arg(closedPort())));
        Outcome before;
        service.login("t1", "sig", onSuc, onErr, &before);
        QTRY_COMPARE(before.failures, 1);
        QCOMPARE(before.code, int(LiveService::kNotInitialised));

        QVERIFY(service.init(0, 8848, true) != 0 && service.init(1400001234, 8848, true) == 0);
        Outcome outcome;
        service.login("t1", "sig", onSuc, onErr, &outcome);
        QTRY_COMPARE(outcome.failures, 1);
        QCOMPARE(outcome.code, int(LiveService::kUnreachable));
        QVERIFY(!outcome.desc.isEmpty());
        QTest::qWait(200);
        QCOMPARE(outcome.failures + outcome.successes, 1);

        // Nothing else works without a session, and each says so once.
        Outcome send, room, quit;
        ilive::Message msg;
        msg.elems.push_back(new ilive::MessageTextElem("hi"));
        service.sendGroupMessage(msg, onSuc, onErr, &send);
        ilive::iLiveRoomOption option;
        option.roomId = 1234;
        service.createRoom(option, onSuc, onErr, &room);
        service.quitRoom(onSuc, onErr, &quit);
        QTRY_COMPARE(send.failures + room.failures + quit.failures, 3);
        QCOMPARE(send.code, int(LiveService::kNotSignedIn));
        QCOMPARE(room.code, int(LiveService::kNotSignedIn));
        QCOMPARE(quit.code, int(LiveService::kNotInRoom));
    }

    void roomTrafficStillOnItsWayAfterQuittingIsDropped()
    {
        ScriptedRelay relay;
        relay.pushesBefore["quitRoom"]
            = { chatFrom("s1", "left behind", true), chatFrom("s1", "just for you", false) };
        relay.pushesBefore["groupMsg"] = { chatFrom("s1", "in the room", true) };
        LiveService service;
        service.setUrl(relay.url());
        service.setMessageCallBack(onText, nullptr);
        QCOMPARE(service.init(1400001234, 8848, true), 0);
        g_texts.clear();
        Outcome login, join, send, quit;
        service.login("t1", "sig", onSuc, onErr, &login);
        QTRY_COMPARE(login.successes, 1);
        service.joinRoom(5, nullptr, nullptr, nullptr, onSuc, onErr, &join);
        QTRY_COMPARE(join.successes, 1);
        ilive::Message msg;
        msg.elems.push_back(new ilive::MessageTextElem("hi"));
        service.sendGroupMessage(msg, onSuc, onErr, &send);
        QTRY_COMPARE(send.successes, 1);
        QCOMPARE(g_texts, QStringList { "in the room" });

        service.quitRoom(onSuc, onErr, &quit);
        QTRY_COMPARE(quit.successes, 1);
        // The room's chat is gone with the room; a peer message is still for us.
        QCOMPARE(g_texts, QStringList({ "in the room", "just for you" }));
    }

    void aReplacedLoginFailsOnceAndLaterNotInsideTheNewCall()
    {
        ScriptedRelay relay;
        relay.answerLogin = false;
        LiveService service;
        service.setUrl(relay.url());
        QCOMPARE(service.init(1400001234, 8848, true), 0);
        Outcome first, second;
        service.login("t1", "sig", onSuc, onErr, &first);
        QTRY_COMPARE(relay.ops, QStringList { "login" });
        relay.answerLogin = true;
        service.login("t1", "sig", onSuc, onErr, &second);
        QCOMPARE(first.failures, 0); // a callback that signs in again must not run inside login()
        QTRY_COMPARE(first.failures, 1);
        QCOMPARE(first.code, int(LiveService::kNotSignedIn));
        QTRY_COMPARE(second.successes, 1);
        QTest::qWait(100);
        QCOMPARE(first.failures + first.successes, 1);
        QCOMPARE(second.failures, 0);
        QVERIFY(service.isSignedIn());
    }
};

QTEST_MAIN(TestLiveService)
#include "tst_liveservice.moc"
