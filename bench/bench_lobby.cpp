// The lobby's refresh with 1,000 lives: the app server's answer parsed as the client parses it,
// then the rows rebuilt. Prints time per refresh and the memory the rows take.
#include "ProcessMemory.h"
#include "lobby/LiveListDlg.h"
#include "remote/AppServer.h"
#include "remote/Request.h"
#include "shell/Resources.h"

#include <QApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QListWidget>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {
constexpr int kLives = 1000;
constexpr int kRounds = 20;

QByteArray Answer(int round)
{
    static const char* kStates[] = { "v", "s", "i", "e" };
    const qint64 base = QDateTime(QDate(2026, 12, 5), QTime(9, 0)).toMSecsSinceEpoch();
    QJsonArray list;
    for (int i = 0; i < kLives; ++i) {
        QJsonObject live;
        live["liveId"] = QString::number(10000 + i);
        live["title"] = QStringLiteral("第%1讲 函数与图像 (%2)").arg(i).arg(round);
        live["remark"] = QStringLiteral("高一数学 · 备注 %1").arg(i);
        live["startTime"] = double(base + qint64(i) * 3600000);
        live["endTime"] = double(base + qint64(i) * 3600000 + 5400000);
        // Each round some lives move on to another state, as classes start and end.
        live["state"] = QString::fromLatin1(kStates[(i + round) % 4]);
        live["avRoomId"] = (i % 3 == 0) ? QJsonValue(QJsonValue::Null) : QJsonValue(200000 + i);
        list.append(live);
    }
    QJsonObject answer { { "jsonrpc", "2.0" }, { "result", QJsonObject { { "list", list } } } };
    return QJsonDocument(answer).toJson(QJsonDocument::Compact);
}

// One refresh as the 10-second tick makes it: the answer goes through the request's reply path.
double Refresh(LiveListDlg* lobby, const QByteArray& body)
{
    QElapsedTimer clock;
    clock.start();
    auto* request = new Request(QString(), LiveListDlg::OnAppServer_LiveListSuccess,
        LiveListDlg::OnAppServer_LiveListError, lobby, nullptr, false);
    Request::OnNetworkReply(0, body, request);
    QCoreApplication::processEvents(); // layout and paint of the list
    return clock.nsecsElapsed() / 1e6;
}

struct Stats {
    double median = 0, worst = 0;
};

Stats Summarise(std::vector<double> ms)
{
    std::sort(ms.begin(), ms.end());
    return { ms[ms.size() / 2], ms.back() };
}

// Answers the list request that showing the lobby makes, so that no error box waits for a person.
void ServeEmptyList(QTcpServer& server)
{
    QObject::connect(&server, &QTcpServer::newConnection, &server, [&server] {
        while (QTcpSocket* socket = server.nextPendingConnection()) {
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket] {
                if (!socket->readAll().contains("jsonrpc"))
                    return;
                const QByteArray body = R"({"jsonrpc":"2.0","result":{"list":[]}})";
                socket->write("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: "
                    + QByteArray::number(body.size()) + "\r\n\r\n" + body);
            });
        }
    });
}

void Quiet(QtMsgType, const QMessageLogContext&, const QString&) { }
} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    LecternInitResources();
    qInstallMessageHandler(Quiet); // the log lines are still composed, only not written

    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    ServeEmptyList(server);
    SetAppServerUrl(QStringLiteral("http://127.0.0.1:%1/app-server/jsonrpc/").arg(server.serverPort()));

    LiveListDlg* lobby = LiveListDlg::GetInstance();
    lobby->refreshTimer()->stop();
    lobby->resize(1280, 800);
    lobby->show();
    if (!QTest::qWaitForWindowExposed(lobby))
        std::fprintf(stderr, "lobby window not exposed\n");
    QTest::qWait(300); // the list request of the show has been answered

    std::vector<QByteArray> answers;
    for (int r = 0; r < kRounds + 1; ++r)
        answers.push_back(Answer(r));
    const long rssBefore = RssKb();

    const double first = Refresh(lobby, answers[0]);
    const long rssRows = RssKb();
    const int rows = lobby->findChild<QListWidget*>(QStringLiteral("itemsListWidget"))->count();

    std::vector<double> changed, same, tabs;
    for (int r = 1; r <= kRounds; ++r)
        changed.push_back(Refresh(lobby, answers[r]));
    for (int r = 0; r < kRounds; ++r)
        same.push_back(Refresh(lobby, answers[kRounds]));
    QListWidget* stateList = lobby->findChild<QListWidget*>(QStringLiteral("stateListWidget"));
    for (int r = 0; r < 5; ++r) {
        QElapsedTimer clock;
        clock.start();
        stateList->setCurrentRow(2);
        stateList->setCurrentRow(0);
        QCoreApplication::processEvents();
        tabs.push_back(clock.nsecsElapsed() / 1e6);
    }
    const long rssAfter = RssKb();

    const Stats c = Summarise(changed), s = Summarise(same), t = Summarise(tabs);
    std::printf("lobby refresh, %d lives (%d rows), answer %d bytes\n", kLives, rows, int(answers[0].size()));
    std::printf("  %-44s %9.1f ms\n", "first fill (rows created)", first);
    std::printf("  %-44s %9.1f ms median %7.1f ms worst (target <= 100)\n",
        "refresh, answer changed (rows rebuilt)", c.median, c.worst);
    std::printf("  %-44s %9.1f ms median %7.1f ms worst (target <= 100)\n", "refresh, answer unchanged",
        s.median, s.worst);
    std::printf(
        "  %-44s %9.1f ms median %7.1f ms worst\n", "tab switch all -> ended -> all", t.median, t.worst);
    std::printf("  %-44s %9ld kB (%ld kB per row)\n", "memory of the rows (RSS growth)", rssRows - rssBefore,
        rows ? (rssRows - rssBefore) / rows : 0);
    std::printf("  %-44s %9ld kB\n", "RSS after all rounds", rssAfter);
    return 0;
}
