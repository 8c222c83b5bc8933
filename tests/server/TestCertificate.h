#pragma once

#include <QByteArray>
#include <QSslConfiguration>
#include <QString>

// A self-signed certificate for 127.0.0.1 (and localhost), made with Debian's openssl when the
// test runs, and a second key that does not belong to it.
struct TestCertificate {
    QString certFile;
    QString keyFile;
    QString otherKeyFile;
    QByteArray certPem;
    QByteArray keyPem;

    // Writes the files into dir; false with the reason when openssl is missing or fails.
    bool make(const QString& dir, QString* error);
    // A client configuration that trusts this certificate and nothing else.
    QSslConfiguration trusting() const;
};
