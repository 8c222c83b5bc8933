#include "TlsPair.h"

#include <QFile>

#include <gnutls/gnutls.h>

#include <memory>

namespace tlspair {

namespace {

    // Far above any certificate chain; a wrong path (a disk image, /dev/zero) is not read whole.
    constexpr qint64 kMaxFileBytes = 1 << 20;

    bool readPem(const QString& file, const char* what, QByteArray* out, QString* error)
    {
        QFile f(file);
        if (!f.open(QIODevice::ReadOnly)) {
            *error = QStringLiteral("cannot read the %1 %2: %3").arg(what, file, f.errorString());
            return false;
        }
        *out = f.read(kMaxFileBytes + 1);
        if (out->size() > kMaxFileBytes) {
            *error = QStringLiteral("the %1 %2 is over 1 MiB: not a PEM file").arg(what, file);
            return false;
        }
        if (!out->contains("-----BEGIN ")) {
            *error = QStringLiteral("the %1 %2 is not a PEM file").arg(what, file);
            return false;
        }
        return true;
    }

    gnutls_datum_t datum(const QByteArray& bytes)
    {
        return { reinterpret_cast<unsigned char*>(const_cast<char*>(bytes.constData())),
            static_cast<unsigned>(bytes.size()) };
    }

} // namespace

std::optional<Pair> load(const QString& certFile, const QString& keyFile, QString* error)
{
    Pair pair;
    if (!readPem(certFile, "certificate", &pair.certPem, error)
        || !readPem(keyFile, "key", &pair.keyPem, error))
        return std::nullopt;
    gnutls_certificate_credentials_t raw = nullptr;
    if (gnutls_certificate_allocate_credentials(&raw) != GNUTLS_E_SUCCESS) {
        *error = QStringLiteral("cannot check the certificate: out of memory");
        return std::nullopt;
    }
    const std::unique_ptr<gnutls_certificate_credentials_st, void (*)(gnutls_certificate_credentials_t)> cred(
        raw, gnutls_certificate_free_credentials);
    // The same check the TLS library makes when serving: parses both and matches the key to the
    // certificate, so a wrong pair stops the server here rather than failing every handshake.
    const gnutls_datum_t cert = datum(pair.certPem);
    const gnutls_datum_t key = datum(pair.keyPem);
    const int rc = gnutls_certificate_set_x509_key_mem2(raw, &cert, &key, GNUTLS_X509_FMT_PEM, nullptr, 0);
    if (rc == GNUTLS_E_CERTIFICATE_KEY_MISMATCH) {
        *error = QStringLiteral("the key %1 does not belong to the certificate %2").arg(keyFile, certFile);
        return std::nullopt;
    }
    if (rc < 0) {
        *error = QStringLiteral("cannot use the certificate %1 with the key %2: %3")
                     .arg(certFile, keyFile, QString::fromUtf8(gnutls_strerror(rc)));
        return std::nullopt;
    }
    return pair;
}

} // namespace tlspair
