#pragma once

#include <QByteArray>
#include <QString>

// The signature that "live.usersig.create" hands out and the relay checks: the relay needs no
// database, only the secret both halves share.
//   userSig = base64url("<userId>:<expiry seconds since epoch>:<h|m>") + "." + base64url(HMAC-SHA256)
// The last field says whether the user may host a room (teachers) or only join one (students).
namespace usersig {

enum class Role { Host, Member };

QString make(const QByteArray& secret, const QString& userId, qint64 expiresAtSecs, Role role = Role::Host);

enum class Check { Ok, Malformed, BadSignature, Expired, WrongUser };

// nowSecs is passed in so callers (and tests) decide the clock. role, when given, receives the
// signed role of a signature that checks out.
Check verify(const QByteArray& secret, const QString& sig, const QString& userId, qint64 nowSecs,
    Role* role = nullptr);

const char* describe(Check check);

} // namespace usersig
