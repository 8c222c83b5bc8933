#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QString>

// Reads one request (a text message) sent to the live relay. Needs no relay: fuzz targets and
// tests call it on any bytes.
namespace relayrequest {

// Text messages over this are refused unread: chat and commands are small, and a bigger text
// would be copied into every member's queue.
constexpr int kMaxTextBytes = 64 << 10;

struct Request {
    bool isObject = false; // false: not a JSON object, so there is nothing to reply to
    QByteArray rawId = "0"; // the "id" exactly as sent (a number or a string), for the reply
    QString op;
    int error = 0; // a relayop::Code when the request cannot be carried out as sent
    QString desc; // why, when error is set

    QString userId; // login
    QString userSig;
    QString resume; // login: the token of a dropped session to take over, if any
    quint32 roomId = 0; // createRoom, joinRoom: an integer in 1 … 2^32-1
    QString role; // createRoom
    QString to; // peerMsg
    QJsonArray elems; // groupMsg, peerMsg: cleaned, kept in order
    int event = 0; // event: 3, 4, 7 or 8
    QByteArray rawSeq; // ping: its "seq" exactly as sent, for the pong; empty when none
    quint64 mediaSession = 0; // publish: the sender's Janus session and handle, 1 … 2^53-1
    quint64 mediaHandle = 0;
    quint64 mediaFeed = 0; // publish: the feed id it is about to publish
};

Request parse(const QByteArray& text);

// The raw text of the top-level member `key` of a JSON object when it is a string or a number
// (at most 256 bytes); empty otherwise. Reads without recursion, so any input is safe.
QByteArray rawScalarMember(const QByteArray& json, const QByteArray& key);

} // namespace relayrequest
