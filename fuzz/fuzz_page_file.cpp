// A page file as it may be found in "storage": loaded, then turned into shapes for the surface.
#include "FuzzSupport.h"

#include "shell/AppFolders.h"
#include "whiteboard/painterstorage.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::EnsureApplication();
    static QTemporaryDir folder; // removed when the run ends
    static const bool ready = [] {
        SetAppFolders(QString(), folder.path());
        return QDir(folder.path()).mkpath(QStringLiteral("storage"));
    }();
    fuzz::Require(ready, "scratch storage folder");

    QFile page(PainterStorage::storagePath() + QStringLiteral("/page.json"));
    fuzz::Require(page.open(QIODevice::WriteOnly | QIODevice::Truncate), "scratch page file");
    page.write(reinterpret_cast<const char*>(data), qint64(size));
    page.close();

    PainterStorage storage;
    if (storage.load(QStringLiteral("page.json")))
        storage.getGeneralShape();
    // Font caches are trimmed from the event loop.
    QCoreApplication::processEvents();
    return 0;
}
