#include "StoreBackup.h"

#include <SQLiteCpp/Backup.h>
#include <SQLiteCpp/Database.h>
#include <sqlite3.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdio>
#include <fcntl.h>
#include <stdexcept>
#include <unistd.h>

namespace appserver {

namespace {

    void syncPath(const QString& path, int flags)
    {
        const int fd = ::open(QFile::encodeName(path).constData(), flags | O_CLOEXEC);
        if (fd < 0)
            throw std::runtime_error("cannot open " + path.toStdString() + " to flush it");
        const bool ok = ::fsync(fd) == 0;
        ::close(fd);
        if (!ok)
            throw std::runtime_error("cannot flush " + path.toStdString() + " to disk");
    }

} // namespace

void backupDatabase(const std::string& dbPath, const std::string& destPath)
{
    const QFileInfo source(QString::fromStdString(dbPath));
    const QFileInfo dest(QString::fromStdString(destPath));
    if (!source.isFile())
        throw std::runtime_error("no database at " + dbPath);
    if (dest.exists() && dest.canonicalFilePath() == source.canonicalFilePath())
        throw std::runtime_error("the backup must not be the database itself");
    if (!dest.absoluteDir().exists())
        throw std::runtime_error("no folder " + dest.absolutePath().toStdString() + " for the backup");
    const QString part = dest.absoluteFilePath() + QStringLiteral(".part");
    QFile::remove(part);
    QFile::remove(part + QStringLiteral("-journal"));
    try {
        {
            SQLite::Database src(dbPath, SQLite::OPEN_READONLY, 5000);
            SQLite::Database out(part.toStdString(), SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
            SQLite::Backup backup(out, src);
            // All pages in one step: a backup in several steps starts over whenever the server
            // writes between two of them.
            if (backup.executeStep(-1) != SQLITE_DONE)
                throw std::runtime_error("the database stayed busy");
            out.exec("PRAGMA journal_mode=DELETE");
            const std::string check = out.execAndGet("PRAGMA quick_check").getString();
            if (check != "ok")
                throw std::runtime_error("the copy fails its check: " + check);
        }
        syncPath(part, O_RDONLY);
        if (std::rename(
                QFile::encodeName(part).constData(), QFile::encodeName(dest.absoluteFilePath()).constData())
            != 0)
            throw std::runtime_error("cannot put the backup in place at " + destPath);
        syncPath(dest.absolutePath(), O_RDONLY | O_DIRECTORY);
    } catch (const SQLite::Exception& e) {
        QFile::remove(part);
        throw std::runtime_error(std::string("backup failed: ") + e.what());
    } catch (...) {
        QFile::remove(part);
        throw;
    }
}

} // namespace appserver
