// The shipped live-video service on its own: the boundary types, the frame wire format, colour
// conversion, the render view, and every device path on a machine without devices.
#include "ilive/FrameConvert.h"
#include "ilive/LiveService.h"
#include "ilive/LiveWire.h"
#include "ilive/RenderRootView.h"

#include <QCameraInfo>
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

ilive::iLiveRootView* g_madeByFactory = nullptr;
ilive::iLiveRootView* testFactory()
{
    g_madeByFactory = new RenderRootView;
    return g_madeByFactory;
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
    ScriptedRelay() : server(QStringLiteral("scripted"), QWebSocketServer::NonSecureMode)
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
                for (const QByteArray& push : pushesBefore.take(op)) {
                    if (push.startsWith('{'))
                        ws->sendTextMessage(QString::fromUtf8(push));
                    else
                        ws->sendBinaryMessage(push);
                }
                ws->sendTextMessage(QString::fromUtf8(
                    QJsonDocument(QJsonObject { { "op", "reply" }, { "id", req.value("id") }, { "code", 0 } })
                        .toJson(QJsonDocument::Compact)));
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

QByteArray cameraFrameFrom(const QByteArray& sender)
{
    livewire::Frame f;
    f.srcType = ilive::VIDEO_SRC_TYPE_CAMERA;
    f.format = livewire::RawRgb32;
    f.width = 2;
    f.height = 2;
    f.id = sender;
    f.payload = QByteArray(16, char(0x7f));
    return livewire::encodeFrame(f);
}

QStringList g_texts;
void onText(const ilive::Message& msg, void*)
{
    for (const ilive::MessageElem* e : msg.elems)
        if (e->type == ilive::TEXT)
            g_texts << QString::fromUtf8(static_cast<const ilive::MessageTextElem*>(e)->content.c_str());
}
int g_remoteFrames = 0;
void onRemoteFrame(const ilive::LiveVideoFrame*, void*)
{
    ++g_remoteFrames;
}

bool near(QRgb a, QRgb b, int tolerance)
{
    return qAbs(qRed(a) - qRed(b)) <= tolerance && qAbs(qGreen(a) - qGreen(b)) <= tolerance
        && qAbs(qBlue(a) - qBlue(b)) <= tolerance;
}

} // namespace

class TestLiveService : public QObject {
    Q_OBJECT
private slots:
    void init() { g_deviceOps.clear(); }

    void boundaryTypesCopyDeeply()
    {
        void* p = iliveMalloc(0);
        QVERIFY(p);
        iliveFree(p);
        QCOMPARE(iliveStrLen(nullptr), size_t(0));

        ilive::String a("讲台");
        QCOMPARE(a.size(), size_t(6));
        ilive::String b = a;
        ilive::String c(std::move(b));
        QVERIFY(c == a);
        QVERIFY(b.empty());
        QCOMPARE(QByteArray(b.c_str()), QByteArray());

        ilive::Vector<ilive::String> list;
        for (int i = 0; i < 100; ++i)
            list.push_back(ilive::String(QByteArray::number(i).constData()));
        ilive::Vector<ilive::String> copy = list;
        list.clear();
        QCOMPARE(copy.size(), size_t(100));
        QCOMPARE(QByteArray(copy[99].c_str()), QByteArray("99"));

        ilive::Message msg;
        msg.sender = "t1";
        msg.elems.push_back(new ilive::MessageTextElem("hello"));
        msg.elems.push_back(new ilive::MessageCustomElem("{}", "LiveNotification"));
        ilive::Message dup = msg;
        static_cast<ilive::MessageTextElem*>(dup.elems[0])->content = "changed";
        QCOMPARE(QByteArray(static_cast<ilive::MessageTextElem*>(msg.elems[0])->content.c_str()), QByteArray("hello"));
        QCOMPARE(dup.elems[1]->type, ilive::CUSTOM);
        QCOMPARE(QByteArray(static_cast<ilive::MessageCustomElem*>(dup.elems[1])->ext.c_str()),
                 QByteArray("LiveNotification"));
    }

    void wireFrameRoundTripsAndRefusesDamage()
    {
        livewire::Frame f;
        f.srcType = 2;
        f.format = livewire::RawRgb32;
        f.width = 3;
        f.height = 2;
        f.timestampMs = 1234567890123ULL;
        f.id = "学生01";
        f.payload = QByteArray(3 * 2 * 4, 'x');
        const QByteArray bytes = livewire::encodeFrame(f);
        livewire::Frame back;
        QVERIFY(livewire::decodeFrame(bytes, &back));
        QCOMPARE(back.srcType, 2);
        QCOMPARE(back.width, 3u);
        QCOMPARE(back.height, 2u);
        QCOMPARE(back.timestampMs, 1234567890123ULL);
        QCOMPARE(back.id, f.id);
        QCOMPARE(back.payload, f.payload);

        QVERIFY(!livewire::decodeFrame(bytes.left(20), &back));          // truncated header
        QVERIFY(!livewire::decodeFrame(bytes.left(bytes.size() - 1), &back)); // raw size short
        QByteArray badMagic = bytes;
        badMagic[0] = 'X';
        QVERIFY(!livewire::decodeFrame(badMagic, &back));
        livewire::Frame zero = f;
        zero.width = 0;
        QVERIFY(!livewire::decodeFrame(livewire::encodeFrame(zero), &back));
        livewire::Frame unknown = f;
        unknown.format = 9;
        QVERIFY(!livewire::decodeFrame(livewire::encodeFrame(unknown), &back));
    }

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
        QVERIFY2(near(back.pixel(4, 2), qRgb(200, 40, 90), 6), qPrintable(QString::number(back.pixel(4, 2), 16)));

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
        QVERIFY(!view.init(uintptr_t(0xdeadbeef))); // not one of our windows
        QVERIFY(view.init(uintptr_t(host.winId())));
        QVERIFY(view.surface());
        QCOMPARE(view.surface()->geometry(), host.rect());
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

        view.addView("s1", ilive::VIDEO_SRC_TYPE_CAMERA, ilive::iLiveView(ilive::VIEW_MODE_HIDDEN, true, {}, 5));
        QVERIFY(render(view, "s1", pixels));
        shot = host.grab().toImage();
        QCOMPARE(QColor(shot.pixel(100, 5)), QColor(Qt::red)); // filled, cropped at the sides

        host.resize(300, 120);
        QCOMPARE(view.surface()->geometry(), host.rect());

        view.removeAllView(true);
        QVERIFY(!render(view, "s1", pixels));
        shot = host.grab().toImage();
        QCOMPARE(QColor(shot.pixel(150, 60)), QColor(Qt::blue));

        QPointer<RenderSurface> surface = view.surface();
        view.uninit();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(surface.isNull());
    }

    void devicesWithoutHardwareReportFailures()
    {
        LiveService service;
        service.setDeviceOperationCallback(onDeviceOp, nullptr);
        ilive::Vector<ilive::Pair<ilive::String, ilive::String>> cameras;
        QCOMPARE(service.getCameraList(cameras), 0);
        QCOMPARE(int(cameras.size()), QCameraInfo::availableCameras().size());
        ilive::Vector<ilive::Pair<ilive::String, ilive::String>> mics, players;
        QCOMPARE(service.getMicList(mics), 0);
        QCOMPARE(service.getPlayerList(players), 0);
        for (const auto* list : { &mics, &players })
            for (const auto& device : *list)
                QVERIFY2(!device.first.empty(), "a device without an id cannot be opened");

        service.openMic(""); // the nameless placeholder some backends list is not a device
        QTRY_COMPARE(g_deviceOps.size(), 1);
        QCOMPARE(g_deviceOps[0], qMakePair(int(ilive::E_OpenMic), int(LiveService::kDeviceMissing)));
        g_deviceOps.clear();

        service.openCamera("no-such-camera");
        service.openMic("no-such-mic");
        service.openPlayer("no-such-speaker");
        // Results come later, from the event loop, never inside the call.
        QVERIFY(g_deviceOps.isEmpty());
        QTRY_COMPARE(g_deviceOps.size(), 3);
        QCOMPARE(g_deviceOps[0], qMakePair(int(ilive::E_OpenCamera), int(LiveService::kDeviceMissing)));
        QCOMPARE(g_deviceOps[1], qMakePair(int(ilive::E_OpenMic), int(LiveService::kDeviceMissing)));
        QCOMPARE(g_deviceOps[2], qMakePair(int(ilive::E_OpenPlayer), int(LiveService::kDeviceMissing)));
        QVERIFY(!service.getCurCameraState());
        QVERIFY(!service.getCurMicState());
        QVERIFY(!service.getCurPlayerState());

        g_deviceOps.clear();
        service.closeCamera();
        service.closeMic();
        service.closePlayer();
        QTRY_COMPARE(g_deviceOps.size(), 3);
        QCOMPARE(g_deviceOps[0], qMakePair(int(ilive::E_CloseCamera), 0));
        QCOMPARE(g_deviceOps[1], qMakePair(int(ilive::E_CloseMic), 0));
        QCOMPARE(g_deviceOps[2], qMakePair(int(ilive::E_ClosePlayer), 0));

        QCOMPARE(service.setMicVolume(30), 0);
        QCOMPARE(service.getMicVolume(), 30u);
        QVERIFY(service.setMicVolume(101) != 0);
        QCOMPARE(service.getMicVolume(), 30u);
        QCOMPARE(service.setPlayerVolume(0), 0);
        QCOMPARE(service.getPlayerVolume(), 0u);
    }

    void screenShareStateFollowsOpenChangeClose()
    {
        LiveService service;
        service.setDeviceOperationCallback(onDeviceOp, nullptr);
        QCOMPARE(service.getScreenShareState(), 0);
        service.openScreenShare(10, 10, 10, 50, 10); // empty area
        QTRY_COMPARE(g_deviceOps.size(), 1);
        QCOMPARE(g_deviceOps[0].first, int(ilive::E_OpenScreenShare));
        QVERIFY(g_deviceOps[0].second != 0);
        QCOMPARE(service.getScreenShareState(), 0);

        service.openScreenShare(0, 0, 320, 240, 10);
        QTRY_COMPARE(g_deviceOps.size(), 2);
        QCOMPARE(g_deviceOps[1], qMakePair(int(ilive::E_OpenScreenShare), 0));
        QVERIFY(service.getScreenShareState() != 0);
        QCOMPARE(service.screenShareArea(), QRect(0, 0, 320, 240)); // right and bottom exclusive

        QCOMPARE(service.changeScreenShareSize(20, 30, 120, 130), 0);
        QCOMPARE(service.screenShareArea(), QRect(20, 30, 100, 100));
        QVERIFY(service.changeScreenShareSize(50, 50, 40, 60) != 0);
        QCOMPARE(service.screenShareArea(), QRect(20, 30, 100, 100));

        service.closeScreenShare();
        QTRY_COMPARE(g_deviceOps.size(), 3);
        QCOMPARE(g_deviceOps[2], qMakePair(int(ilive::E_CloseScreenShare), 0));
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

        QVERIFY(service.init(1400001234, 8848, true) == 0);
        QVERIFY(service.init(0, 8848, true) != 0);
        QVERIFY(service.init(1400001234, 8848, true) == 0);
        Outcome outcome;
        service.login("t1", "sig", onSuc, onErr, &outcome);
        QTRY_COMPARE(outcome.failures, 1);
        QCOMPARE(outcome.code, int(LiveService::kUnreachable));
        QVERIFY(!outcome.desc.isEmpty());
        QTest::qWait(200);
        QCOMPARE(outcome.failures, 1);
        QCOMPARE(outcome.successes, 0);

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
        relay.pushesBefore["quitRoom"] = { chatFrom("s1", "left behind", true), cameraFrameFrom("s1"),
                                           chatFrom("s1", "just for you", false) };
        relay.pushesBefore["groupMsg"] = { chatFrom("s1", "in the room", true), cameraFrameFrom("s1") };
        LiveService service;
        service.setUrl(relay.url());
        service.setMessageCallBack(onText, nullptr);
        service.setRemoteVideoCallBack(onRemoteFrame, nullptr);
        QCOMPARE(service.init(1400001234, 8848, true), 0);
        g_texts.clear();
        g_remoteFrames = 0;
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
        QCOMPARE(g_remoteFrames, 1);

        service.quitRoom(onSuc, onErr, &quit);
        QTRY_COMPARE(quit.successes, 1);
        // The room's chat and video are gone with the room; a peer message is still for us.
        QCOMPARE(g_texts, QStringList({ "in the room", "just for you" }));
        QCOMPARE(g_remoteFrames, 1);
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

    void testingHooksReplaceServiceAndViews()
    {
        ilive::iLive* shipped = GetILive();
        QVERIFY(dynamic_cast<LiveService*>(shipped));
        QCOMPARE(GetILive(), shipped);
        LiveService other;
        ilive::SetILiveForTesting(&other, testFactory);
        QCOMPARE(GetILive(), static_cast<ilive::iLive*>(&other));
        ilive::iLiveRootView* view = iLiveCreateRootView();
        QCOMPARE(view, g_madeByFactory);
        view->destroy();
        ilive::SetILiveForTesting(nullptr, nullptr);
        QCOMPARE(GetILive(), shipped);
        view = iLiveCreateRootView();
        QCOMPARE(view->getRootViewType(), ilive::ROOT_VIEW_TYPE_SOFTWARE);
        view->destroy();
    }
};

QTEST_MAIN(TestLiveService)
#include "tst_liveservice.moc"
