// lectern-server's administration commands, run as the operator runs them.
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

class TestServerCli : public QObject {
    Q_OBJECT

private:
    struct Run {
        int code = -1;
        QString out;
        QString err;
    };

    Run run(const QStringList& args)
    {
        return runBare(
            QStringList { "--db", m_dir.filePath("school.db"), "--downloads", m_dir.filePath("dl") } + args);
    }

    Run runBare(const QStringList& args)
    {
        QProcess p;
        p.start(QStringLiteral(LECTERN_BIN_DIR "/lectern-server"), args);
        if (!p.waitForFinished(15000) || p.exitStatus() != QProcess::NormalExit)
            return {};
        return { p.exitCode(), QString::fromUtf8(p.readAllStandardOutput()),
            QString::fromUtf8(p.readAllStandardError()) };
    }

    QString writeFile(const QString& name, const QByteArray& text)
    {
        QFile f(m_dir.filePath(name));
        if (!f.open(QIODevice::WriteOnly) || f.write(text) != text.size())
            return QString();
        return f.fileName();
    }

    QTemporaryDir m_dir;

private slots:
    void usersAndLivesAreAddedAndListed()
    {
        QCOMPARE(run({ "user", "add", "zhang", "pw 1", "张老师", "teacher" }).code, 0);
        QCOMPARE(run({ "user", "add", "li", "pw2", "李同学" }).code, 0);
        QVERIFY(run({ "user", "add", "zhang", "x", "y", "teacher" }).err.contains("zhang")); // taken
        for (const QStringList& bad :
            { QStringList { "user", "add", "wang", "x", "y", "admin" }, QStringList { "user", "add", "wang" },
                QStringList { "live", "add", "zhang", "bad time", "tomorrow", "2030-05-01 09:45" },
                QStringList { "live", "add", "zhang", "backwards", "2030-05-01 10:00", "2030-05-01 09:00" },
                QStringList { "frobnicate" } })
            QVERIFY2(run(bad).code == 1, qPrintable(bad.join(' ')));

        const QString users = run({ "user", "list" }).out;
        QVERIFY(users.contains("zhang\tteacher\t张老师") && users.contains("li\tstudent\t李同学")
            && !users.contains("wang"));

        QCOMPARE(
            run({ "live", "add", "zhang", "高一数学", "2030-05-01 09:00", "2030-05-01 09:45", "带练习册" })
                .code,
            0);
        QCOMPARE(run({ "live", "add", "li", "student's", "2030-05-01 09:00", "2030-05-01 09:45" }).code, 1);
        const QString lives = run({ "live", "list" }).out;
        QVERIFY(lives.count('\n') == 1 && lives.contains("2030-05-01 09:00 ~ 2030-05-01 09:45")
            && lives.contains("高一数学"));
    }

    void rostersAreKeptByLoginAllOrNothing()
    {
        QCOMPARE(run({ "user", "add", "zhao", "pw", "赵同学" }).code, 0);
        const QString added
            = run({ "live", "add", "zhang", "高一化学", "2030-05-02 09:00", "2030-05-02 09:45" }).out;
        const QString liveId = added.section(' ', 2, 2);
        QVERIFY2(added.startsWith("added live ") && liveId.toInt() > 0, qPrintable(added));
        QVERIFY(run({ "live", "roster", liveId }).out.contains("no roster"));
        const Run enrolled = run({ "live", "enrol", liveId, "li", "zhao" });
        QCOMPARE(enrolled.code, 0);
        QVERIFY(
            enrolled.out.contains("li\tstudent\t李同学") && enrolled.out.contains("zhao\tstudent\t赵同学"));
        const Run unknown = run({ "live", "unenrol", liveId, "li", "nobody" });
        QCOMPARE(unknown.code, 1);
        QVERIFY2(unknown.err.contains("nobody"), qPrintable(unknown.err));
        QCOMPARE(run({ "live", "roster", liveId }).out.count('\n'), 2); // li still on it
        QCOMPARE(run({ "live", "unenrol", liveId, "li" }).out.count('\n'), 1);
        QCOMPARE(run({ "live", "enrol", "999", "li" }).code, 1);
        QCOMPARE(run({ "live", "enrol", liveId }).code, 1); // nobody to enrol
    }

    // The file holds password digests and the relay's secret.
    void databaseIsOwnerOnlyAndAnOpenOneIsReported()
    {
        const mode_t oldMask = ::umask(022);
        QTemporaryDir dir;
        const QString db = dir.filePath("fresh.db");
        QProcess server;
        server.start(QStringLiteral(LECTERN_BIN_DIR "/lectern-server"),
            { "--db", db, "--port", "0", "--live-port", "0", "--demo" });
        QByteArray said;
        QVERIFY(QTest::qWaitFor(
            [&] { return (said += server.readAllStandardOutput()).contains("students' page"); }, 15000));
        for (const QString& file : { db, db + "-wal", db + "-shm" }) {
            struct stat st = {};
            QVERIFY2(::stat(QFile::encodeName(file).constData(), &st) == 0, qPrintable(file));
            QCOMPARE(st.st_mode & 0777, mode_t(0600));
        }
        server.terminate();
        QVERIFY(server.waitForFinished(10000));
        ::umask(oldMask);
        QVERIFY(!QString::fromUtf8(server.readAllStandardError()).contains("readable by other users"));

        QFile(db).setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther);
        QProcess again;
        again.start(QStringLiteral(LECTERN_BIN_DIR "/lectern-server"), { "--db", db, "user", "list" });
        QVERIFY(again.waitForFinished(15000));
        QCOMPARE(again.exitCode(), 0); // said, and served all the same
        const QString err = QString::fromUtf8(again.readAllStandardError());
        QVERIFY2(err.contains("readable by other users") && err.contains("644"), qPrintable(err));
    }

    // Refused before anything is served: a server that cannot make media rooms must not look as
    // if it could.
    void mediaServerFlagsThatCannotWorkAreRefused_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("says");
        const QString ws = QStringLiteral("ws://127.0.0.1:8188");
        QTest::newRow("no key") << QStringList { "--janus", ws } << "--janus-admin-key";
        QTest::newRow("empty key") << QStringList { "--janus", ws, "--janus-admin-key", "" } << "empty";
        QTest::newRow("key without server") << QStringList { "--janus-admin-key", "k" } << "need --janus";
        QTest::newRow("http url") << QStringList { "--janus", "http://127.0.0.1:8188", "--janus-admin-key",
            "k" } << "ws://";
        QTest::newRow("bad public url")
            << QStringList { "--janus", ws, "--janus-admin-key", "k", "--janus-public-url", "nowhere" }
            << "--janus-public-url";
        const QString emptyKey = m_dir.filePath("empty-key");
        const QString twoLines = m_dir.filePath("two-line-key");
        QFile empty(emptyKey), lines(twoLines);
        QVERIFY(empty.open(QIODevice::WriteOnly) && empty.write("\n") == 1);
        QVERIFY(lines.open(QIODevice::WriteOnly) && lines.write("abc\ndef\n") == 8);
        QTest::newRow("missing key file")
            << QStringList { "--janus", ws, "--janus-admin-key-file", m_dir.filePath("no-such-key") }
            << "cannot read the admin key file";
        QTest::newRow("empty key file")
            << QStringList { "--janus", ws, "--janus-admin-key-file", emptyKey } << "is empty";
        QTest::newRow("key file of two lines")
            << QStringList { "--janus", ws, "--janus-admin-key-file", twoLines } << "on one line";
        QTest::newRow("key and key file")
            << QStringList { "--janus", ws, "--janus-admin-key", "k", "--janus-admin-key-file", emptyKey }
            << "not both";
        QTest::newRow("every address, media on loopback") << QStringList { "--host", "0.0.0.0", "--janus", ws,
            "--janus-admin-key", "k" } << "only this machine reaches";
        QTest::newRow("every address, public media url on localhost") << QStringList { "--host",
            "::", "--janus", "ws://10.1.2.3:8188", "--janus-admin-key", "k", "--janus-public-url",
            "wss://localhost:8989" } << "only this machine reaches";
        QTest::newRow("keys not matching servers") << QStringList { "--janus", ws, "--janus",
            "ws://127.0.0.1:8189", "--janus", "ws://127.0.0.1:8190", "--janus-admin-key", "a",
            "--janus-admin-key", "b" } << "one for each --janus";
    }

    void mediaServerFlagsThatCannotWorkAreRefused()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, says);
        const Run r = run(QStringList { "--port", "0", "--live-port", "0" } + args);
        QCOMPARE(r.code, 1);
        QVERIFY2(r.err.contains(says), qPrintable(r.err));
    }

    // Every option is a key; repeated media-server keys pair up as on the command line, and an option
    // the command line gives replaces the file's, also all of a repeated key.
    void configFileSetsOptionsAndCommandLineWins()
    {
        const QString cfg = writeFile("a.conf",
            "\xEF\xBB\xBF# the school's server (an editor's byte-order mark first)\n\n  db = "
                + m_dir.filePath("cfg.db").toUtf8() + "\ndownloads=" + m_dir.filePath("dl").toUtf8()
                + "\ndemo = false\n");
        QCOMPARE(runBare({ "--config", cfg, "user", "add", "wu", "pw", "吴老师", "teacher" }).code, 0);
        QVERIFY(runBare({ "--db", m_dir.filePath("cfg.db"), "user", "list" }).out.contains("wu\tteacher"));
        QCOMPARE(
            runBare({ "--config", cfg, "--db", m_dir.filePath("cli.db"), "user", "add", "ma", "pw", "马" })
                .code,
            0);
        QVERIFY(runBare({ "--db", m_dir.filePath("cli.db"), "user", "list" }).out.contains("ma\tstudent"));
        QVERIFY(!runBare({ "--config", cfg, "user", "list" }).out.contains("ma\t"));

        // The file's second media server has a bad public address; given on the command line, the
        // one good pair replaces both of the file's.
        const QString media = writeFile("media.conf",
            "port = 0\nlive-port = 0\njanus = ws://127.0.0.1:1\njanus-admin-key = k\n"
            "janus-public-url = ws://127.0.0.1:1\njanus = ws://127.0.0.1:2\njanus-public-url = nowhere\n");
        const Run bad = run({ "--config", media });
        QCOMPARE(bad.code, 1);
        QVERIFY2(
            bad.err.contains("media.conf:7: --janus-public-url takes a ws:// or wss:// URL, not nowhere"),
            qPrintable(bad.err));
        const Run overridden
            = run({ "--config", media, "--janus-public-url", "ws://127.0.0.1:3", "user", "list" });
        QVERIFY2(overridden.code == 0, qPrintable(overridden.err));
    }

    void badConfigFileStopsTheStartWithLineAndReason_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("says");
        QTest::newRow("unknown key") << QByteArray("port = 0\n# ok\nprot = 8080\n")
                                     << ":3: unknown key \"prot\"";
        QTest::newRow("no equals") << QByteArray("\nport 8080\n") << ":2: expected \"key = value\"";
        QTest::newRow("dashes") << QByteArray("--port = 1\n") << ":1: \"--port\" is not a key";
        QTest::newRow("twice") << QByteArray("port = 1\nhost = 127.0.0.1\nport = 2\n")
                               << ":3: \"port\" is set again (first on line 1)";
        QTest::newRow("no value") << QByteArray("public-url =\n") << ":1: \"public-url\" has no value";
        QTest::newRow("flag") << QByteArray("demo = yes please\n") << ":1: \"demo\" takes true or false";
        QTest::newRow("command") << QByteArray("publish = 1.0\n") << ":1: unknown key \"publish\"";
        QTest::newRow("nested") << QByteArray("config = other.conf\n") << ":1: unknown key \"config\"";
        QTest::newRow("not text") << QByteArray("port = \xff\xfe\n") << "not UTF-8";
        QTest::newRow("bad port") << QByteArray("host = 127.0.0.1\nport = eighty\n")
                                  << ":2: bad --port eighty";
        QTest::newRow("bad host") << QByteArray("port = 0\nlive-port = 0\nhost = school\n")
                                  << ":3: --host takes an IP address";
        QTest::newRow("half a pair") << QByteArray("port = 0\nlive-port = 0\ntls-key = k.pem\n")
                                     << ":3: --tls-cert and --tls-key go together";
    }

    void badConfigFileStopsTheStartWithLineAndReason()
    {
        QFETCH(QByteArray, text);
        QFETCH(QString, says);
        const QString cfg = writeFile("bad.conf", text);
        const Run r = run({ "--config", cfg });
        QCOMPARE(r.code, 1);
        QVERIFY2(
            r.err.contains(says) && (says == "not UTF-8" || r.err.contains(cfg + ":")), qPrintable(r.err));
        const Run missing = run({ "--config", m_dir.filePath("none.conf") });
        QVERIFY2(missing.code == 1 && missing.err.contains("cannot read the configuration file"),
            qPrintable(missing.err));
    }

    void publishCopiesWholeOrRefuses()
    {
        QFile setup(m_dir.filePath("Setup.exe"));
        QVERIFY(setup.open(QIODevice::WriteOnly) && setup.write(QByteArray(300000, 's')) == 300000);
        setup.close();
        QCOMPARE(run({ "--publish", "1.1", setup.fileName() }).code, 1); // not a version
        QCOMPARE(run({ "--publish", "rided4a_win_1.1", m_dir.filePath("missing.exe") }).code, 1);
        QVERIFY(QDir(m_dir.filePath("dl")).entryList(QDir::Files | QDir::Hidden).isEmpty());
        QCOMPARE(run({ "--publish", "rided4a_win_1.1", setup.fileName() }).code, 0);
        QCOMPARE(QFileInfo(m_dir.filePath("dl/Setup-rided4a_win_1.1.exe")).size(), 300000);
        QCOMPARE(QDir(m_dir.filePath("dl")).entryList(QDir::Files | QDir::Hidden).size(), 1); // no leftovers

        // A newer installer under the same name never replaces the bytes of the older one: a client's
        // part file of the older download must not be resumed with them.
        QVERIFY(setup.open(QIODevice::WriteOnly) && setup.write(QByteArray(200000, 'n')) == 200000);
        setup.close();
        QCOMPARE(run({ "--publish", "rided4a_win_1.2", setup.fileName() }).code, 0);
        QCOMPARE(QFileInfo(m_dir.filePath("dl/Setup-rided4a_win_1.1.exe")).size(), 300000);
        QCOMPARE(QFileInfo(m_dir.filePath("dl/Setup-rided4a_win_1.2.exe")).size(), 200000);
    }
};

QTEST_GUILESS_MAIN(TestServerCli)
#include "tst_server_cli.moc"
