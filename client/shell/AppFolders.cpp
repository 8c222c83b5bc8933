#include "AppFolders.h"

#include <QCoreApplication>

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

} // namespace

QString AppReadFolder()
{
    const QString& forced = overrides().read;
    return forced.isEmpty() ? QCoreApplication::applicationDirPath() : forced;
}

QString AppWriteFolder()
{
    const QString& forced = overrides().write;
    return forced.isEmpty() ? QCoreApplication::applicationDirPath() : forced;
}

void SetAppFolders(const QString& readFolder, const QString& writeFolder)
{
    overrides().read = readFolder;
    overrides().write = writeFolder;
}
