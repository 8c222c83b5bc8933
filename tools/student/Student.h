#pragma once

#include "live/RelayClient.h"
#include "media/LiveMedia.h"
#include "protocol/CustomCmd.h"

#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QUrl>
#include <QVariantMap>

#include <functional>

class QNetworkAccessManager;

struct StudentOptions {
    QUrl server { QStringLiteral("http://127.0.0.1:8080/app-server/jsonrpc/") };
    QUrl live { QStringLiteral("ws://127.0.0.1:8081/live") };
    QString login;
    QString password { QStringLiteral("123456") };
    QString nickname; // empty: the login result's, else the login id
    QString teacher; // whose lives to look in
    QString liveId; // empty: the first room a teacher has opened
    quint32 roomId = 0; // set: skip the live lookup
    int chatEverySecs = 0;
    bool reject = false;
    int rejectReason = 0;
    int micOffAfterSecs = 0;
    bool camera = false; // a test picture beside the test tone when on the microphone
    double toneHz = 440; // the test tone's pitch
    int durationSecs = 0; // 0: until the class ends
    int answerDelayMs = 1000;
    int reconnectMs = 15000; // how long a dropped relay connection is tried again; 0: never
};

// One scripted student: signs in, enters a live, joins its room on the relay and behaves as told.
class Student : public QObject {
    Q_OBJECT
public:
    explicit Student(const StudentOptions& options, QObject* parent = nullptr);
    void start();
    void leave(const QString& why); // says goodbye to the room, then finishes

signals:
    void finished(int exitCode);

private:
    void rpc(const QString& method, QVariantMap params, std::function<void(const QVariantMap&)> onResult);
    void fail(const QString& what);
    void chooseRoom();
    void findLive();
    void enterRoom(quint32 roomId);
    // Takes m_roomId's place on the relay and its media; a refusal ends the student.
    void joinRelayRoom(const QString& refused, std::function<void()> then);
    void openRelay();
    void resumed(bool resumed, quint32 heldRoom);
    // A request cut off by a dropped connection is dropped with it: the session comes back or
    // the student ends. Without onReply a refusal is logged.
    int relayRequest(const QJsonObject& req, std::function<void(const RelayClient::Reply&)> onReply = {});
    void onPush(const relayop::Push& push);
    void onCommand(const QString& sender, const QString& data);
    void joined();
    void sendCmd(E_CustomCmd cmd, const QString& param, const QString& to = QString());
    void sendChat();
    void enterMedia(const QJsonObject& reply);
    // On the microphone (and camera): the test tone (and picture) go out, or nothing does.
    void publish(bool on);
    void heard(const QString& user, double db);
    void saw(const QString& user, int source, const media::VideoFrame& frame);
    QString identity() const;
    void log(const QString& line) const;

    StudentOptions m_opt;
    QNetworkAccessManager* m_http = nullptr;
    RelayClient* m_relay = nullptr;
    QString m_ak;
    QString m_userId;
    QString m_sig;
    QString m_nickname;
    QString m_liveId;
    quint32 m_roomId = 0;
    QString m_hostId; // the class's teacher, once known: only its commands are obeyed
    bool m_inRoom = false;
    bool m_leaving = false;
    bool m_onMic = false;
    bool m_toldWaiting = false; // said once, not every look
    int m_chatCount = 0;
    LiveMedia* m_media = nullptr;
    QHash<QString, bool> m_soundOn;
    QHash<QString, QString> m_pictures; // what was last logged of each picture
    QTimer m_chatTimer;
    QTimer m_lookupTimer;
    qint64 m_dropMs = 0; // when the relay connection last went down
};
