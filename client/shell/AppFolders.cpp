#include "AppFolders.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

namespace {

struct Overrides {
    QString read;
    QString write;
};

Overrides& overrides()
{
    static auto* folders = new Overrides;
    return *folders;
}

struct WriteRoot {
    QString folder;
    bool perUser = false;
};

// Decided once: an installed client (e.g. under /usr/local/bin) cannot write beside itself, and
// every save there would fail.
const WriteRoot& DefaultWriteRoot()
{
    static const WriteRoot* root = [] {
        auto* chosen = new WriteRoot;
        const QString executableFolder = QCoreApplication::applicationDirPath();
        if (QFileInfo(executableFolder).isWritable()) {
            chosen->folder = executableFolder;
        } else {
            chosen->folder = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
            chosen->perUser = true;
            QDir().mkpath(chosen->folder);
        }
        return chosen;
    }();
    return *root;
}

} // namespace

QString AppReadFolder()
{
    const QString& forced = overrides().read;
    return forced.isEmpty() ? QCoreApplication::applicationDirPath() : forced;
}

QString AppWriteFolder()
{
    const QString& forced = overrides().write;
    return forced.isEmpty() ? DefaultWriteRoot().folder : forced;
}

void SetAppFolders(const QString& readFolder, const QString& writeFolder)
{
    overrides().read = readFolder;
    overrides().write = writeFolder;
}

void LogAppFolders()
{
    if (overrides().write.isEmpty() && DefaultWriteRoot().perUser)
        qDebug().noquote() << "data folder:" << AppWriteFolder()
                           << "(per-user: the executable's folder is not writable)";
    else
        qDebug().noquote() << "data folder:" << AppWriteFolder() << "(beside the executable)";
}
