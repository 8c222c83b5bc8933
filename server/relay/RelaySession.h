#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QPointer>
#include <QSslSocket>
#include <QString>
#include <QWebSocket>

// One relay connection and the member behind it. The connections (RelayConnections) own it and
// keep the first half; the rooms (LiveRelay) keep the second.
struct RelaySession {
    QWebSocket* ws = nullptr; // null while held for a resume
    QString userId; // empty until signed in
    bool mayHost = false; // signed as a teacher
    QString name; // in the school's records, from sign-in
    bool dead = false; // closing: nothing more is sent or handled
    qint64 queued = 0; // bytes waiting when last sent to
    QByteArray resumeToken; // handed out at sign-in
    quint64 heldSerial = 0; // set while the connection is gone and the place is kept
    quint64 serial = 0; // tells a session from a later one at the same address
    QPointer<QSslSocket> tls; // under ws when the relay serves WSS
    QHostAddress address; // counted against its limit while not signed in
    bool countedUnsigned = false;

    // Its place in a room.
    quint32 roomId = 0;
    bool host = false;
    bool camera = false;
    bool screen = false;
    bool knowsMedia = false; // has been told its room's media room

    // What the member has not yet taken. Over TLS most of it waits already encrypted, where the
    // WebSocket's own count does not see it.
    qint64 unsent() const { return ws->bytesToWrite() + (tls ? tls->encryptedBytesToWrite() : 0); }
};
