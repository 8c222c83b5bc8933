#include "OfficeProfile.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QUrl>

bool InstallOfficeProfile(const QString& appFolder, const QString& source)
{
    const QString from
        = source.isEmpty() ? QStringLiteral(LECTERN_SOURCE_DIR "/client/slides/LibreOfficeProfile") : source;
    // Every file below it, hidden ones too.
    QDirIterator it(from, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString file = it.next();
        const QString target = appFolder + kOfficeProfileFolder + file.mid(from.size());
        if (!QDir().mkpath(QFileInfo(target).absolutePath()) || !QFile::copy(file, target))
            return false;
    }
    return true;
}

QString OfficeProfileMarker(const QString& appFolder)
{
    return QStringLiteral("-env:UserInstallation=")
        + QUrl::fromLocalFile(appFolder + kOfficeProfileFolder).toString(QUrl::FullyEncoded);
}

bool NearColor(QRgb pixel, unsigned rgb, int tolerance)
{
    return qAbs(qRed(pixel) - int(rgb >> 16 & 0xff)) <= tolerance
        && qAbs(qGreen(pixel) - int(rgb >> 8 & 0xff)) <= tolerance
        && qAbs(qBlue(pixel) - int(rgb & 0xff)) <= tolerance;
}
