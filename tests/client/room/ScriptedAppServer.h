#pragma once

// Helpers of the discussion and member tests: a scripted JSON-RPC app server on a loopback port,
// a catcher that answers message boxes, and a log capture.

#include "HttpFixture.h"
#include "remote/AppServer.h"

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMessageBox>
#include <QPair>
#include <QStringList>
#include <QTest>
#include <QTimer>
#include <QVariantList>

#include <memory>

class ScriptedAppServer {
public:
    struct Call {
        QString method;
        QVariantMap params;
    };

    bool start()
    {
        m_http.setHandler([this](const HttpRequestRecord& request) { return answer(request); });
        if (!m_http.start())
            return false;
        SetAppServerUrl(m_http.url(QStringLiteral("/app-server/jsonrpc/")));
        return true;
    }

    // Answer of "live.room.member.list" unless one is queued.
    QVariantList members;
    // The next member lists, each with the delay before it is sent.
    void queueMemberList(const QVariantList& list, int delayMs) { m_queued.append(qMakePair(list, delayMs)); }

    QList<Call> calls;
    QList<Call> callsOf(const QString& method) const
    {
        QList<Call> out;
        for (const Call& c : calls)
            if (c.method == method)
                out << c;
        return out;
    }
    int count(const QString& method) const { return callsOf(method).size(); }
    bool waitFor(const QString& method, int n, int timeoutMs = 5000) const
    {
        QElapsedTimer clock;
        clock.start();
        while (count(method) < n && clock.elapsed() < timeoutMs)
            QTest::qWait(10);
        return count(method) >= n;
    }

private:
    HttpResponse answer(const HttpRequestRecord& request)
    {
        const QJsonObject envelope = QJsonDocument::fromJson(request.body).object();
        Call call { envelope.value(QStringLiteral("method")).toString(),
                    envelope.value(QStringLiteral("params")).toObject().toVariantMap() };
        calls << call;
        QVariantMap result;
        int delayMs = 0;
        if (call.method == QLatin1String("live.room.member.list")) {
            QVariantList list = members;
            if (!m_queued.isEmpty()) {
                const auto next = m_queued.takeFirst();
                list = next.first;
                delayMs = next.second;
            }
            result.insert(QStringLiteral("list"), list);
        }
        QVariantMap reply { { QStringLiteral("jsonrpc"), QStringLiteral("2.0") }, { QStringLiteral("result"), result } };
        HttpResponse response = HttpResponse::json(QJsonDocument(QJsonObject::fromVariantMap(reply)).toJson());
        response.delayMs = delayMs;
        return response;
    }

    HttpFixture m_http;
    QList<QPair<QVariantList, int>> m_queued;
};

// A member record as the app server sends it: every scalar is text.
inline QVariantMap MemberRecord(const QString& userId, const QString& nickname, const QString& role,
                                const QString& status = QStringLiteral("0"))
{
    return { { QStringLiteral("userId"), userId },
             { QStringLiteral("nickname"), nickname },
             { QStringLiteral("role"), role },
             { QStringLiteral("status"), status } };
}

// Presses OK on every visible message box and remembers its text, modal or not.
class BoxAnswerer {
public:
    BoxAnswerer()
    {
        m_timer.reset(new QTimer);
        QObject::connect(m_timer.get(), &QTimer::timeout, [this] { poll(); });
        m_timer->start(10);
    }
    QStringList texts;
    void poll()
    {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            auto* box = qobject_cast<QMessageBox*>(w);
            if (!box || !box->isVisible())
                continue;
            texts << box->text();
            if (QAbstractButton* ok = box->button(QMessageBox::Ok))
                ok->click();
            box->hide();
        }
    }
    // Lets queued work and the poll run, then reports what was seen.
    QStringList settle(int ms = 100)
    {
        QTest::qWait(ms);
        poll();
        return texts;
    }

private:
    std::unique_ptr<QTimer> m_timer;
};

// Collects log lines while alive.
class LogLines {
public:
    LogLines()
    {
        Lines().clear();
        m_previous = qInstallMessageHandler(
            [](QtMsgType, const QMessageLogContext&, const QString& message) { Lines().append(message); });
    }
    ~LogLines() { qInstallMessageHandler(m_previous); }
    static QStringList& Lines()
    {
        static QStringList lines;
        return lines;
    }
    int count(const QString& text) const
    {
        int n = 0;
        for (const QString& line : Lines())
            n += line.contains(text) ? 1 : 0;
        return n;
    }

private:
    QtMessageHandler m_previous = nullptr;
};
