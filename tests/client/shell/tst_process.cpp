#include "shell/Process.h"

#include <QtTest>

#include <cstdint>
#include <memory>
#include <vector>

// Real children: a copy of sleep(1) under a name no other process on the machine carries.
class TestProcess : public QObject {
    Q_OBJECT

private:
    // Beside the test, not in /tmp, which may be mounted without exec rights.
    QTemporaryDir m_dir { QCoreApplication::applicationDirPath() + QStringLiteral("/probe-XXXXXX") };
    QString m_name;
    std::vector<std::unique_ptr<QProcess>> m_children;

    // sleep adds its arguments up, so an owner marker rides along as a tiny duration.
    QProcess* startChild(const QString& marker = QStringLiteral("0"))
    {
        m_children.push_back(std::make_unique<QProcess>());
        m_children.back()->start(m_dir.path() + QLatin1Char('/') + m_name, { QStringLiteral("30"), marker });
        return m_children.back()->waitForStarted(5000) ? m_children.back().get() : nullptr;
    }

    static bool endedBySignal(QProcess* child)
    {
        return child->waitForFinished(5000) && child->exitStatus() == QProcess::CrashExit;
    }

private slots:
    void initTestCase()
    {
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
        QProcess* child = startChild();
        QVERIFY(child);
        QVERIFY(IsProcessRunning(m_name));
        for (const QString& other : { m_name.toUpper(), m_name.chopped(1), QString() })
            QVERIFY2(!IsProcessRunning(other), qPrintable(other));

        wchar_t buffer[kProcessNameBufferSize];
        QVERIFY(ToWCharArray(m_name, buffer));
        const ProcessHandle handle = GetProcessByName(buffer);
        QCOMPARE(static_cast<qint64>(reinterpret_cast<std::intptr_t>(handle)), child->processId());
        CloseProcessHandle(handle);
        QCOMPARE(GetProcessByName(nullptr), nullptr);
    }

    void killEndsTheNamedProcessesOfOneOwner()
    {
        QProcess* mine = startChild(QStringLiteral("0.00111"));
        QProcess* theirs = startChild(QStringLiteral("0.00222"));
        QProcess* third = startChild(QStringLiteral("0.00222"));
        QVERIFY(mine && theirs && third);
        QVERIFY(IsProcessRunning(m_name, QStringLiteral("0.00111")));
        QVERIFY(!IsProcessRunning(m_name, QStringLiteral("0.00333")));
        KillProcessByName(m_name.toUpper());
        KillProcessByName(m_name, QStringLiteral("0.00111"));
        QVERIFY(endedBySignal(mine));
        QVERIFY(!theirs->waitForFinished(200));
        // No marker: every process of the name.
        KillProcessByName(m_name, QString());
        QVERIFY(endedBySignal(theirs) && endedBySignal(third));
        QVERIFY(!IsProcessRunning(m_name));
    }

    void namesThatDoNotFitAreRefused()
    {
        std::vector<wchar_t> buffer(kProcessNameBufferSize, L'#');
        QVERIFY(!ToWCharArray(QString(kProcessNameBufferSize, QLatin1Char('x')), buffer.data()));
        QCOMPARE(buffer.front(), L'#');
        QVERIFY(ToWCharArray(QString(kProcessNameBufferSize - 1, QLatin1Char('x')), buffer.data()));
        QCOMPARE(buffer.back(), L'\0');

        // An unterminated wide name is not read past the buffer.
        std::vector<wchar_t> unterminated(kProcessNameBufferSize, L'x');
        QCOMPARE(GetProcessByName(unterminated.data()), nullptr);

        // A name longer than the buffer is refused rather than cut into another process's name.
        QProcess* child = startChild();
        QVERIFY(child);
        const QString tooLong = m_name + QString(kProcessNameBufferSize, QLatin1Char('x'));
        QVERIFY(!IsProcessRunning(tooLong));
        KillProcessByName(tooLong);
        QVERIFY(!child->waitForFinished(200));
    }
};

QTEST_GUILESS_MAIN(TestProcess)
#include "tst_process.moc"
