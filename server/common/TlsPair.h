#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// The certificate and private key that HTTPS and the relay's WSS are served with, read once at
// start. Both halves take the same pair, so the students' page and its relay connection are secure
// together or not at all.
namespace tlspair {

struct Pair {
    QByteArray certPem; // the server's certificate first, then any intermediates
    QByteArray keyPem; // unencrypted
};

// Reads both PEM files and checks that the key belongs to the certificate; nullopt with a reason
// an operator can act on otherwise.
std::optional<Pair> load(const QString& certFile, const QString& keyFile, QString* error);

} // namespace tlspair
