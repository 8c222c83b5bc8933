#pragma once

#include "HttpFixture.h"
#include "remote/AppServer.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QPair>
#include <QTest>
#include <QVariantList>

// A JSON-RPC app server on a loopback port that answers every call with an empty result, except
// "live.room.member.list", whose answers (and their delays) the test scripts.
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

    QVariantList members; // the member list unless one is queued
    void queueMemberList(const QVariantList& list, int delayMs) { m_queued.append(qMakePair(list, delayMs)); }

    QList<Call> calls;
    QList<Call> callsOf(const QString& method) const
    {
        QList<Call> out;
        std::copy_if(calls.begin(), calls.end(), std::back_inserter(out),
            [&](const Call& c) { return c.method == method; });
        return out;
    }
    int count(const QString& method) const { return callsOf(method).size(); }
    bool waitFor(const QString& method, int n) const
    {
        return QTest::qWaitFor([&] { return count(method) >= n; }, 5000);
    }

private:
    HttpResponse answer(const HttpRequestRecord& request)
    {
        const QJsonObject envelope = QJsonDocument::fromJson(request.body).object();
        calls << Call { envelope.value("method").toString(),
            envelope.value("params").toObject().toVariantMap() };
        QVariantMap result;
        int delayMs = 0;
        if (calls.last().method == QLatin1String("live.room.member.list")) {
            QVariantList list = members;
            if (!m_queued.isEmpty()) {
                list = m_queued.first().first;
                delayMs = m_queued.takeFirst().second;
            }
            result.insert("list", list);
        }
        const QVariantMap reply { { "jsonrpc", "2.0" }, { "result", result } };
        HttpResponse response
            = HttpResponse::json(QJsonDocument(QJsonObject::fromVariantMap(reply)).toJson());
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
    return { { "userId", userId }, { "nickname", nickname }, { "role", role }, { "status", status } };
}
