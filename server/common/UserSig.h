#pragma once

#include <QByteArray>
#include <QString>

// The signature that "live.usersig.create" hands out and the relay checks: the relay needs no
// database, only the secret both halves share.
//   userSig = base64url("<userId>:<expiry seconds since epoch>") + "." + base64url(HMAC-SHA256)
namespace usersig {

QString make(const QByteArray& secret, const QString& userId, qint64 expiresAtSecs);

enum class Check { Ok, Malformed, BadSignature, Expired, WrongUser };

// nowSecs is passed in so callers (and tests) decide the clock.
Check verify(const QByteArray& secret, const QString& sig, const QString& userId, qint64 nowSecs);

const char* describe(Check check);

} // namespace usersig
