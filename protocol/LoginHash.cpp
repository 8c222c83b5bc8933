#include "LoginHash.h"

#include <QCryptographicHash>

namespace loginhash {

QByteArray sha1Base64(const QByteArray& text)
{
    return QCryptographicHash::hash(text, QCryptographicHash::Sha1).toBase64();
}

QByteArray passwordDigest(const QString& password)
{
    return sha1Base64(password.toUtf8());
}

QByteArray salted(const QByteArray& digest, const QByteArray& salt)
{
    return sha1Base64(digest + salt);
}

QString saltedPassword(const QString& password, const QString& salt)
{
    return QString::fromLatin1(salted(passwordDigest(password), salt.toUtf8()));
}

bool isValidSalt(const QByteArray& salt)
{
    if (salt.isEmpty() || salt.size() > 9)
        return false;
    for (char c : salt)
        if (c < '0' || c > '9')
            return false;
    return true;
}

} // namespace loginhash
