#pragma once

#include <QByteArray>
#include <QString>

// The salted login of "user.login": the client sends
//   saltedPassword = Sha1Base64(Sha1Base64(password) + salt)
// with a decimal salt it picks, and the server keeps only Sha1Base64(password).
namespace loginhash {

QByteArray sha1Base64(const QByteArray& text);

// What the server stores for a password.
QByteArray passwordDigest(const QString& password);
// What the client sends for a stored digest and a salt.
QByteArray salted(const QByteArray& digest, const QByteArray& salt);
QString saltedPassword(const QString& password, const QString& salt);

// A salt is 1 to 9 decimal digits: anything else is refused before a hash is compared.
bool isValidSalt(const QByteArray& salt);

} // namespace loginhash
