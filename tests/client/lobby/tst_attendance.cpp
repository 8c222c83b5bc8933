// The lobby's attendance table and its CSV.
#include "lobby/AttendanceDlg.h"

#include <QPushButton>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QtTest>

class TestAttendance : public QObject {
    Q_OBJECT
private slots:
    void csvIsUtf8WithBomAndKeepsEveryNameAsText_data();
    void csvIsUtf8WithBomAndKeepsEveryNameAsText();
    void tableShowsStudentsAndExportsWhole();
};

namespace {
QVariantMap Row(const QString& name, const QString& role = QStringLiteral("s"))
{
    return { { "nickname", name }, { "role", role }, { "firstEntryTime", 0 }, { "presentMs", 3723999 },
        { "speakingMs", 61000 }, { "chatLines", 4 }, { "hands", 2 }, { "answers", 1 } };
}
} // namespace

void TestAttendance::csvIsUtf8WithBomAndKeepsEveryNameAsText_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("field");
    QTest::newRow("chinese") << "张小明"
                             << "张小明";
    QTest::newRow("comma") << "张,三"
                           << "\"张,三\"";
    QTest::newRow("quote") << "小\"明"
                           << "\"小\"\"明\"";
    QTest::newRow("line break") << "小\n明"
                                << "\"小\n明\"";
    // A spreadsheet would run these as formulas.
    QTest::newRow("formula") << "=HYPERLINK(\"x\")"
                             << "\"'=HYPERLINK(\"\"x\"\")\"";
    QTest::newRow("plus") << "+1"
                          << "'+1";
}

void TestAttendance::csvIsUtf8WithBomAndKeepsEveryNameAsText()
{
    QFETCH(QString, name);
    QFETCH(QString, field);
    const QByteArray csv = AttendanceDlg::Csv({ Row(name) });
    QVERIFY(csv.startsWith("\xEF\xBB\xBF"));
    const QString text = QString::fromUtf8(csv.mid(3));
    QCOMPARE(text,
        QStringLiteral("姓名,首次进入,在线时长,发言时长,聊天条数,举手次数,答题次数\r\n") + field
            + QStringLiteral(",,01:02:03,00:01:01,4,2,1\r\n"));
}

void TestAttendance::tableShowsStudentsAndExportsWhole()
{
    AttendanceDlg dlg({ { "title", "课" }, { "liveId", "3" } });
    dlg.SetRows({ Row("王老师", "t"), Row("甲"), Row("乙") });
    QCOMPARE(dlg.table()->rowCount(), 2);
    QCOMPARE(dlg.table()->item(1, 0)->text(), QStringLiteral("乙"));
    QCOMPARE(dlg.table()->item(1, 2)->text(), QStringLiteral("01:02:03"));
    QVERIFY(dlg.exportButton()->isEnabled());

    QTemporaryDir dir;
    QString error;
    const QString path = dir.filePath("出勤.csv");
    QVERIFY2(dlg.ExportTo(path, &error), qPrintable(error));
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), AttendanceDlg::Csv(dlg.rows()));
    // A folder that is not there: a clear error and no file.
    QVERIFY(!dlg.ExportTo(dir.filePath("missing/出勤.csv"), &error));
    QVERIFY(!error.isEmpty() && !QFile::exists(dir.filePath("missing/出勤.csv")));
}

QTEST_MAIN(TestAttendance)
#include "tst_attendance.moc"
