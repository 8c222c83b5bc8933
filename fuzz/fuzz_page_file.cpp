// A page file as it may be found in "storage": loaded, then turned into shapes for the surface;
// the same bytes as a journal line and as a picture's header. The page reader must read each
// exactly as the tree reader page files had before did: the same verdict, the same values.
#include "FuzzSupport.h"

#include "client/whiteboard/TreeReader.h"
#include "shell/AppFolders.h"
#include "whiteboard/PageReader.h"
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
    const QByteArray bytes(reinterpret_cast<const char*>(data), int(size));

    QFile page(PainterStorage::storagePath() + QStringLiteral("/page.json"));
    fuzz::Require(page.open(QIODevice::WriteOnly | QIODevice::Truncate), "scratch page file");
    page.write(bytes);
    page.close();

    PainterStorage storage;
    const bool read = storage.load(QStringLiteral("page.json"));
    if (read)
        storage.getGeneralShape();
    else
        QFile::remove(PainterStorage::storagePath() + QStringLiteral("/page.json.damaged"));
    // Font caches are trimmed from the event loop.
    QCoreApplication::processEvents();

    PainterStorage tree;
    fuzz::Require(TreeReader::readPage(bytes, tree) == read, "the same verdict on a page file");
    fuzz::Require(!read || TreeReader::difference(tree, storage).isEmpty(), "the same page");

    PageBytes padded;
    padded.assign(bytes.constData(), bytes.size());
    PageReader reader;
    fuzz::Require(
        TreeReader::difference(TreeReader::readEntry(bytes), reader.readEntry(padded, 0, bytes.size()))
            .isEmpty(),
        "the same journal entry");
    fuzz::Require(
        TreeReader::sameValues(reader.readObject(padded, 0, bytes.size()), TreeReader::readObject(bytes)),
        "the same header");
    return 0;
}
