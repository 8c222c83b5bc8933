#include "UserSig.h"

#include <QCryptographicHash>
#include <QMessageAuthenticationCode>

namespace usersig {

namespace {
    const QByteArray::Base64Options kB64 = QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals;

    QByteArray mac(const QByteArray& secret, const QByteArray& payload)
    {
        return QMessageAuthenticationCode::hash(payload, secret, QCryptographicHash::Sha256);
    }
} // namespace

QString make(const QByteArray& secret, const QString& userId, qint64 expiresAtSecs, Role role)
{
    const QByteArray payload
        = userId.toUtf8() + ':' + QByteArray::number(expiresAtSecs) + ':' + (role == Role::Host ? 'h' : 'm');
    return QString::fromLatin1(payload.toBase64(kB64) + '.' + mac(secret, payload).toBase64(kB64));
}

Check verify(const QByteArray& secret, const QString& sig, const QString& userId, qint64 nowSecs, Role* role)
{
    const QByteArray raw = sig.toLatin1();
    const int dot = raw.indexOf('.');
    if (dot <= 0 || dot == raw.size() - 1)
        return Check::Malformed;
    const QByteArray payload = QByteArray::fromBase64(raw.left(dot), kB64);
    const QByteArray given = QByteArray::fromBase64(raw.mid(dot + 1), kB64);
    const int roleColon = payload.lastIndexOf(':');
    const int colon = roleColon > 0 ? payload.lastIndexOf(':', roleColon - 1) : -1;
    if (colon <= 0)
        return Check::Malformed;
    const QByteArray roleField = payload.mid(roleColon + 1);
    if (roleField != "h" && roleField != "m")
        return Check::Malformed;
    bool ok = false;
    const qint64 expiry = payload.mid(colon + 1, roleColon - colon - 1).toLongLong(&ok);
    if (!ok)
        return Check::Malformed;
    // Constant-time compare: the signature is a credential.
    const QByteArray expected = mac(secret, payload);
    if (given.size() != expected.size())
        return Check::BadSignature;
    unsigned char diff = 0;
    for (int i = 0; i < expected.size(); ++i)
        diff |= static_cast<unsigned char>(given[i] ^ expected[i]);
    if (diff != 0)
        return Check::BadSignature;
    if (QString::fromUtf8(payload.left(colon)) != userId)
        return Check::WrongUser;
    if (expiry < nowSecs)
        return Check::Expired;
    if (role)
        *role = roleField == "h" ? Role::Host : Role::Member;
    return Check::Ok;
}

const char* describe(Check check)
{
    switch (check) {
    case Check::Ok:
        return "ok";
    case Check::Malformed:
        return "malformed signature";
    case Check::BadSignature:
        return "bad signature";
    case Check::Expired:
        return "signature expired";
    case Check::WrongUser:
        return "signature belongs to another user";
    }
    return "unknown";
}

} // namespace usersig
