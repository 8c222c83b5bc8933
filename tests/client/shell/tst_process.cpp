#include "shell/Process.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdint>
#include <memory>
#include <vector>

// Real children: a copy of sleep(1) under a name no other process on the machine carries.
class TestProcess : public QObject {
    Q_OBJECT

private:
    // Beside the test, not in /tmp, which may be mounted without exec rights.
    QTemporaryDir m_dir{QCoreApplication::applicationDirPath() + QStringLiteral("/probe-XXXXXX")};
    QString m_name;
    std::vector<std::unique_ptr<QProcess>> m_children;

    QProcess* startChild(const QStringList& arguments)
    {
        auto child = std::make_unique<QProcess>();
        child->start(m_dir.path() + QLatin1Char('/') + m_name, arguments);
        if (!child->waitForStarted(5000))
            return nullptr;
        m_children.push_back(std::move(child));
        return m_children.back().get();
    }

    static bool endedBySignal(QProcess* child)
    {
        return child->waitForFinished(5000) && child->exitStatus() == QProcess::CrashExit;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_name = QStringLiteral("lprobe%1.bin").arg(QCoreApplication::applicationPid());
        QVERIFY(QFile::copy(QStringLiteral("/bin/sleep"), m_dir.path() + QLatin1Char('/') + m_name));
    }

    void cleanup()
    {
        for (auto& child : m_children) {
            child->kill();
            child->waitForFinished(5000);
        }
        m_children.clear();
    }

    void findsByExactCaseSensitiveName()
    {
        QVERIFY(!IsProcessRunning(m_name));
        QProcess* child = startChild({QStringLiteral("30")});
        QVERIFY(child);
        QVERIFY(IsProcessRunning(m_name));
        QVERIFY(!IsProcessRunning(m_name.toUpper()));
        QVERIFY(!IsProcessRunning(m_name.left(m_name.size() - 1)));
        QVERIFY(!IsProcessRunning(QString()));

        wchar_t buffer[kProcessNameBufferSize];
        QVERIFY(ToWCharArray(m_name, buffer));
        const ProcessHandle handle = GetProcessByName(buffer);
        QVERIFY(handle);
        QCOMPARE(static_cast<qint64>(reinterpret_cast<std::intptr_t>(handle)), child->processId());
        CloseProcessHandle(handle);
        QCOMPARE(GetProcessByName(nullptr), nullptr);
    }

    void killEndsEveryProcessOfTheName()
    {
        QProcess* a = startChild({QStringLiteral("30")});
        QProcess* b = startChild({QStringLiteral("30")});
        QVERIFY(a && b);
        KillProcessByName(m_name.toUpper());
        QVERIFY(!a->waitForFinished(200));
        KillProcessByName(m_name);
        QVERIFY(endedBySignal(a));
        QVERIFY(endedBySignal(b));
        QVERIFY(!IsProcessRunning(m_name));
    }

    void ownerMarkerRestrictsToOneOwner()
    {
        // sleep adds its arguments up, so the markers ride along as tiny durations.
        QProcess* mine = startChild({QStringLiteral("30"), QStringLiteral("0.00111")});
        QProcess* theirs = startChild({QStringLiteral("30"), QStringLiteral("0.00222")});
        QVERIFY(mine && theirs);
        QVERIFY(IsProcessRunning(m_name, QStringLiteral("0.00111")));
        QVERIFY(!IsProcessRunning(m_name, QStringLiteral("0.00333")));
        KillProcessByName(m_name, QStringLiteral("0.00111"));
        QVERIFY(endedBySignal(mine));
        QVERIFY(theirs->state() == QProcess::Running);
        QVERIFY(IsProcessRunning(m_name, QString()));
        KillProcessByName(m_name, QString());
        QVERIFY(endedBySignal(theirs));
    }

    void namesThatDoNotFitAreRefused()
    {
        std::vector<wchar_t> buffer(kProcessNameBufferSize, L'#');
        QVERIFY(!ToWCharArray(QString(kProcessNameBufferSize, QLatin1Char('x')), buffer.data()));
        QCOMPARE(buffer.front(), L'#');
        QVERIFY(ToWCharArray(QString(kProcessNameBufferSize - 1, QLatin1Char('x')), buffer.data()));
        QCOMPARE(buffer[kProcessNameBufferSize - 1], L'\0');
        QVERIFY(!ToWCharArray(QStringLiteral("abc"), buffer.data(), 3));
        QVERIFY(ToWCharArray(QStringLiteral("abc"), buffer.data(), 4));
        QCOMPARE(QString::fromWCharArray(buffer.data()), QStringLiteral("abc"));

        // An unterminated wide name is not read past the buffer.
        std::vector<wchar_t> unterminated(kProcessNameBufferSize, L'x');
        QCOMPARE(GetProcessByName(unterminated.data()), nullptr);

        // A name longer than the buffer is refused rather than cut into another process's name.
        QProcess* child = startChild({QStringLiteral("30")});
        QVERIFY(child);
        const QString tooLong = m_name + QString(kProcessNameBufferSize, QLatin1Char('x'));
        QVERIFY(!IsProcessRunning(tooLong));
        KillProcessByName(tooLong);
        QVERIFY(!child->waitForFinished(200));
    }
};

QTEST_GUILESS_MAIN(TestProcess)
#include "tst_process.moc"
