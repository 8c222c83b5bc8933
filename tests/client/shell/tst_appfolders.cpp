#include "shell/AppFolders.h"

#include "shell/AppShell.h"
#include "shell/Util.h"

#include <QCoreApplication>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdio>

namespace {

const char* const kChildSwitch = "--write-something";

// The child: writes what a client writes at start (log, setting) and tells where they went.
int RunChild(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    qInstallMessageHandler(LogMessageHandler);
    qDebug() << "startup";
    LogAppFolders();
    SaveUser(QStringLiteral("teacher01"), QStringLiteral("secret"));
    std::printf("%s\n%s\n%s\n", qPrintable(AppWriteFolder()), qPrintable(LogFilePath()),
        qPrintable(GetSettings()->fileName()));
    return 0;
}

QByteArray ReadAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class TestAppFolders : public QObject {
    Q_OBJECT

private:
    // Runs this program as the child, with home and data folders in m_home; with readOnly, the
    // executable's folder is a read-only bind mount in a mount namespace of the child's own.
    QStringList runChild(bool readOnly, QString* log)
    {
        const QString self = QCoreApplication::applicationFilePath();
        const QString folder = QCoreApplication::applicationDirPath();
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", m_home.path());
        env.insert("XDG_DATA_HOME", m_home.path() + "/data");
        child.setProcessEnvironment(env);
        if (readOnly)
            child.start("unshare",
                { "-m", "sh", "-c",
                    "mount --bind \"$1\" \"$1\" && mount -o remount,bind,ro \"$1\" && exec \"$2\" \"$3\"",
                    "sh", folder, self, kChildSwitch });
        else
            child.start(self, { kChildSwitch });
        if (!child.waitForFinished(20000) || child.exitCode() != 0) {
            *log = QString::fromLocal8Bit(child.readAllStandardError());
            return {};
        }
        const QStringList lines = QString::fromLocal8Bit(child.readAllStandardOutput()).split('\n');
        *log = QString::fromUtf8(ReadAll(lines.value(1)));
        return lines.mid(0, 3);
    }

    QTemporaryDir m_home;

private slots:
    void initTestCase() { QVERIFY(m_home.isValid()); }

    void writesBesideTheExecutableWhereItCan()
    {
        QString log;
        const QStringList written = runChild(false, &log);
        QVERIFY2(written.size() == 3, qPrintable(log));
        const QString folder = QCoreApplication::applicationDirPath();
        QCOMPARE(written.at(0), folder);
        QVERIFY(written.at(1).startsWith(folder + "/Lectern_") && written.at(2) == folder + "/setting");
        QVERIFY2(log.contains("data folder: " + folder + " (beside the executable)"), qPrintable(log));
        QFile::remove(written.at(1));
        QFile::remove(written.at(2));
    }

    // Installed in a folder the teacher cannot write to, every save failed silently.
    void readOnlyExecutableFolderWritesToPerUserDataFolder()
    {
        QString log;
        const QStringList written = runChild(true, &log);
        QVERIFY2(written.size() == 3, qPrintable("the child did not run in a read-only mount: " + log));
        const QString data = m_home.path() + "/data/";
        QVERIFY2(written.at(0).startsWith(data), qPrintable(written.join('|')));
        QVERIFY(written.at(1).startsWith(written.at(0) + "/Lectern_")
            && written.at(2) == written.at(0) + "/setting");
        QVERIFY(ReadAll(written.at(2)).contains("user=teacher01"));
        QVERIFY2(log.contains("data folder: " + written.at(0)
                     + " (per-user: the executable's folder is not writable)"),
            qPrintable(log));
        // Nothing was left beside the executable.
        QVERIFY(!QFile::exists(QCoreApplication::applicationDirPath() + "/setting"));
    }
};

int main(int argc, char** argv)
{
    if (argc > 1 && qstrcmp(argv[1], kChildSwitch) == 0)
        return RunChild(argc, argv);
    QCoreApplication app(argc, argv);
    TestAppFolders test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_appfolders.moc"
