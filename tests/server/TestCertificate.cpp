#include "TestCertificate.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSslCertificate>

namespace {

bool openssl(const QStringList& args, QString* error)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(QStringLiteral("openssl"), args);
    if (!p.waitForFinished(30000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        *error = QStringLiteral("openssl %1 failed (scripts/setup.sh installs it): %2 %3")
                     .arg(args.value(0), p.errorString(), QString::fromUtf8(p.readAll()));
        return false;
    }
    return true;
}

QByteArray readAll(const QString& file)
{
    QFile f(file);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

bool TestCertificate::make(const QString& dir, QString* error)
{
    const QDir d(dir);
    certFile = d.filePath(QStringLiteral("cert.pem"));
    keyFile = d.filePath(QStringLiteral("key.pem"));
    otherKeyFile = d.filePath(QStringLiteral("other-key.pem"));
    if (!openssl({ "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                     "-days", "2", "-subj", "/CN=127.0.0.1", "-addext",
                     "subjectAltName=IP:127.0.0.1,DNS:localhost", "-keyout", keyFile, "-out", certFile },
            error)
        || !openssl({ "genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-out",
                        otherKeyFile },
            error))
        return false;
    certPem = readAll(certFile);
    keyPem = readAll(keyFile);
    if (certPem.isEmpty() || keyPem.isEmpty()) {
        *error = QStringLiteral("openssl wrote no certificate into %1").arg(dir);
        return false;
    }
    return true;
}

QSslConfiguration TestCertificate::trusting() const
{
    QSslConfiguration c = QSslConfiguration::defaultConfiguration();
    c.setCaCertificates(QSslCertificate::fromData(certPem, QSsl::Pem));
    c.setPeerVerifyMode(QSslSocket::VerifyPeer);
    return c;
}
