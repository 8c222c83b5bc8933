#include "OfficeProfile.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QUrl>

bool CopyTree(const QString& from, const QString& to)
{
    QDirIterator it(from, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString source = it.next();
        const QString target = to + source.mid(from.size());
        if (!QDir().mkpath(QFileInfo(target).absolutePath()) || !QFile::copy(source, target))
            return false;
    }
    return true;
}

bool InstallOfficeProfile(const QString& appFolder, const QString& source)
{
    return CopyTree(
        source.isEmpty() ? QStringLiteral(LECTERN_SOURCE_DIR "/client/slides/LibreOfficeProfile") : source,
        appFolder + kOfficeProfileFolder);
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
