// Bytes per second one member receives for the teacher's screen share of a slide, first left
// still and then drawn on, at the room's share size and rate (1280×720, 10 frames/s). The teacher
// is the shipped live-video service sharing a window that shows the slide; the member is a plain
// relay connection counting what reaches it. Fixed workload: 10 s still, then 10 s of drawing.
#include "common/UserSig.h"
#include "ilive/LiveService.h"
#include "relay/LiveRelay.h"

#include <QApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPainter>
#include <QPainterPath>
#include <QRandomGenerator>
#include <QTimer>
#include <QWebSocket>
#include <QWidget>

#include <cstdio>
#include <functional>

namespace {

const QByteArray kSecret = "bench-secret";
const quint32 kRoom = 7;
const int kWidth = 1280;
const int kHeight = 720;
const int kFps = 10;
const int kPhaseMs = 10000;

bool waitFor(const std::function<bool()>& done, int timeoutMs)
{
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

// A lesson slide: a title, bullet text and a chart; in drawing mode a pen stroke grows across it
// the way a teacher annotates.
class Slide : public QWidget {
public:
    Slide()
    {
        setWindowFlags(Qt::FramelessWindowHint);
        setGeometry(0, 0, kWidth, kHeight);
        connect(&m_pen, &QTimer::timeout, this, [this] {
            // About 20 pen samples a second, like a hand writing.
            m_at += QPointF(
                QRandomGenerator::global()->bounded(-12, 18), QRandomGenerator::global()->bounded(-10, 11));
            m_at.setX(qBound(40.0, m_at.x(), kWidth - 40.0));
            m_at.setY(qBound(140.0, m_at.y(), kHeight - 40.0));
            if (m_at.x() >= kWidth - 41)
                m_at = QPointF(60, m_at.y() + 40);
            m_stroke.lineTo(m_at);
            update();
        });
    }
    void startDrawing()
    {
        m_stroke.moveTo(m_at);
        m_pen.start(50);
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        p.fillRect(rect(), QColor(250, 250, 246));
        p.fillRect(0, 0, kWidth, 90, QColor(32, 84, 147));
        p.setPen(Qt::white);
        p.setFont(QFont(QStringLiteral("WenQuanYi Zen Hei"), 30, QFont::Bold));
        p.drawText(
            QRect(40, 0, kWidth - 80, 90), Qt::AlignVCenter, QStringLiteral("函数的单调性与最大（小）值"));
        p.setPen(QColor(40, 40, 40));
        p.setFont(QFont(QStringLiteral("WenQuanYi Zen Hei"), 20));
        const QStringList lines {
            QStringLiteral("• 定义：区间 D 上任取 x₁ < x₂，若 f(x₁) < f(x₂)，则 f(x) 在 D 上单调递增"),
            QStringLiteral("• 例 1：判断 f(x) = x² − 2x 在 (1, +∞) 上的单调性并证明"),
            QStringLiteral("• 例 2：求 f(x) = 2x + 1/x 在 [1, 3] 上的最大值与最小值"),
            QStringLiteral("• 练习：课本第 38 页 1、2、3 题")
        };
        for (int i = 0; i < lines.size(); ++i)
            p.drawText(60, 150 + i * 50, lines[i]);
        const QRect chart(760, 380, 440, 280);
        p.setPen(QPen(QColor(90, 90, 90), 2));
        p.drawLine(chart.bottomLeft(), chart.bottomRight());
        p.drawLine(chart.bottomLeft(), chart.topLeft());
        QPainterPath curve;
        for (int x = 0; x <= chart.width(); x += 4) {
            const double u = (x - chart.width() * 0.4) / 80.0;
            const QPointF pt(chart.left() + x, chart.bottom() - 20 - u * u * 18);
            if (x == 0)
                curve.moveTo(pt);
            else
                curve.lineTo(pt);
        }
        p.setPen(QPen(QColor(200, 60, 40), 3));
        p.drawPath(curve);
        p.setPen(QPen(QColor(220, 30, 30), 4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.drawPath(m_stroke);
    }

private:
    QTimer m_pen;
    QPointF m_at { 80, 420 };
    QPainterPath m_stroke;
};

QString request(const QJsonObject& obj)
{
    return QString::fromUtf8(QJsonDocument(obj).toJson(QJsonDocument::Compact));
}

void onSuc(void* data)
{
    *static_cast<int*>(data) = 1;
}

void onErr(int code, const char* desc, void* data)
{
    std::fprintf(stderr, "bench_media: the teacher's service failed: %d %s\n", code, desc);
    *static_cast<int*>(data) = -1;
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    LiveRelay relay(kSecret);
    QString error;
    if (!relay.listen(QHostAddress::LocalHost, 0, &error)) {
        std::fprintf(stderr, "bench_media: relay: %s\n", qPrintable(error));
        return 1;
    }
    const QUrl url(QStringLiteral("ws://127.0.0.1:%1/live").arg(relay.port()));
    const qint64 expiry = QDateTime::currentSecsSinceEpoch() + 3600;

    Slide slide;
    slide.show();

    LiveService teacher;
    teacher.setUrl(url);
    teacher.init(1400001234, 8848, true);
    int loggedIn = 0;
    teacher.login("t1", usersig::make(kSecret, "t1", expiry).toUtf8().constData(), onSuc, onErr, &loggedIn);
    if (!waitFor([&] { return loggedIn != 0; }, 10000) || loggedIn < 0)
        return 1;
    ilive::iLiveRoomOption option;
    option.roomId = kRoom;
    int inRoom = 0;
    teacher.createRoom(option, onSuc, onErr, &inRoom);
    if (!waitFor([&] { return inRoom != 0; }, 10000) || inRoom < 0)
        return 1;

    QWebSocket member;
    qint64 bytes = 0;
    qint64 frames = 0;
    int replies = 0;
    QObject::connect(&member, &QWebSocket::connected, [&] {
        member.sendTextMessage(request({ { "op", "login" }, { "id", 1 }, { "userId", "s1" },
            { "userSig", usersig::make(kSecret, "s1", expiry, usersig::Role::Member) } }));
        member.sendTextMessage(request({ { "op", "joinRoom" }, { "id", 2 }, { "roomId", qint64(kRoom) } }));
    });
    QObject::connect(&member, &QWebSocket::textMessageReceived, [&](const QString& text) {
        if (text.contains(QLatin1String("\"op\":\"reply\"")))
            ++replies;
    });
    QObject::connect(&member, &QWebSocket::binaryMessageReceived, [&](const QByteArray& b) {
        bytes += b.size();
        ++frames;
    });
    member.open(url);
    if (!waitFor([&] { return replies >= 2; }, 10000)) {
        std::fprintf(stderr, "bench_media: the member did not join\n");
        return 1;
    }

    teacher.openScreenShare(0, 0, kWidth, kHeight, kFps);
    // Settle: the first frames and the window's first paint.
    waitFor([] { return false; }, 1500);

    std::printf(
        "%-44s %12s %10s %12s\n", "screen share 1280x720@10, one member", "KB/s", "frames/s", "KB/frame");
    const auto measure = [&](const char* what) {
        bytes = frames = 0;
        QElapsedTimer t;
        t.start();
        waitFor([] { return false; }, kPhaseMs);
        const double secs = t.elapsed() / 1000.0;
        std::printf("%-44s %12.1f %10.1f %12.1f\n", what, bytes / 1024.0 / secs, frames / secs,
            frames ? bytes / 1024.0 / frames : 0.0);
        return frames > 0;
    };
    bool ok = measure("JPEG frames through the relay, still slide");
    slide.startDrawing();
    ok = measure("JPEG frames through the relay, drawing") && ok;
    teacher.closeScreenShare();
    if (!ok)
        std::fprintf(stderr, "bench_media: no frames reached the member\n");
    return ok ? 0 : 1;
}
