#include "LogCapture.h"

#include "shell/AppFolders.h"
#include "whiteboard/PageStore.h"
#include "whiteboard/PaintSettings.h"
#include "whiteboard/painterstorage.h"
#include "whiteboard/renderarea.h"

#include "BoardTestKit.h"

#include <QApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <cstdio>

namespace {

constexpr char kChildFolder[] = "LECTERN_BOARD_CHILD_FOLDER";

QString storageFile(const QString& name)
{
    return PainterStorage::storagePath() + QLatin1Char('/') + name;
}

// The teacher's client in a process of its own: draws strokes one after the other on a busy
// page and says so after each, until it is killed.
int drawUntilKilled()
{
    SetAppFolders(qEnvironmentVariable(kChildFolder), qEnvironmentVariable(kChildFolder));
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    RenderArea area;
    area.resize(400, 300);
    area.show();
    area.setFileName(QStringLiteral("killed.json"));
    if (area.isLoading()) {
        QSignalSpy loaded(&area, &RenderArea::pageLoaded);
        if (!loaded.wait(20000))
            return 2;
    }
    area.setInstrumentType(Pen);
    for (int i = 0;; ++i) {
        drag(&area, QPoint(10 + i % 300, 20), QPoint(60 + i % 300, 250));
        std::printf("stroke %d\n", i);
        std::fflush(stdout);
        QApplication::processEvents();
    }
}

} // namespace

class TestPageStore : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void damagedPageFileIsSetAsideNotOverwritten_regression();
    void outOfRangeNumbersAreClampedToWhatTheSurfaceDraws_regression();
    void journalFoldsIntoThePageFileThatTodaysClientReads();
    void killedClientLosesAtMostTheStrokeBeingDrawn();
    void closingTheSurfaceKeepsThePageInView_regression();
    void pictureIsShownOnlyWhenItIsThePageFilesDrawing_data();
    void pictureIsShownOnlyWhenItIsThePageFilesDrawing();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestPageStore::init()
{
    WaitForPageFiles();
    m_dir = std::make_unique<QTemporaryDir>();
    SetAppFolders(m_dir->path(), m_dir->path());
    PenSettings::reset();
}

void TestPageStore::cleanup()
{
    // A case's last writes end here, not after the last case: by then the test log is closed,
    // and the folder they go into is gone.
    WaitForPageFiles();
}

void TestPageStore::damagedPageFileIsSetAsideNotOverwritten_regression()
{
    QDir().mkpath(PainterStorage::storagePath());
    const QByteArray cut
        = R"({"b": 0, "g": 0, "r": 0, "scaleX": 1, "scaleY": 1, "shapes": [{"name": "CurveShape", "points": [{"x": 1)";
    for (const QByteArray& damaged : { cut, QByteArray(), QByteArray("[1, 2, 3]") }) {
        for (const QString& left : QDir(PainterStorage::storagePath()).entryList({ "cut.json*" }))
            QFile::remove(storageFile(left));
        QFile file(storageFile("cut.json"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(damaged);
        file.close();

        LogCapture log;
        RenderArea area;
        area.setFileName("cut.json");
        QVERIFY(area.shapes().isEmpty());
        QVERIFY(log.contains("set aside"));
        QFile aside(storageFile("cut.json.damaged"));
        QVERIFY(aside.open(QIODevice::ReadOnly));
        QCOMPARE(aside.readAll(), damaged);
        // Leaving the page writes nothing over it; a new drawing starts a new file beside it.
        area.setFileName("next.json");
        WaitForPageFiles();
        QVERIFY(!QFile::exists(storageFile("cut.json")));
        area.setFileName("cut.json");
        area.setInstrumentType(Pen);
        drag(&area, { 10, 10 }, { 50, 50 });
        WaitForPageFiles();
        PainterStorage reread;
        QVERIFY(reread.load("cut.json"));
        QCOMPARE(reread.records.size(), 1);
        QVERIFY(QFile::exists(storageFile("cut.json.damaged")));
    }
}

void TestPageStore::outOfRangeNumbersAreClampedToWhatTheSurfaceDraws_regression()
{
    QDir().mkpath(PainterStorage::storagePath());
    QFile file(storageFile("huge.json"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(R"({"shapes": [
        {"name": "RectangleShape", "rotation": 1e308, "scaleX": 1e308, "scaleY": -1e308,
         "points": [{"x": 1e308, "y": -1e308}, {"x": 20, "y": 30}],
         "pen": {"r": 999, "g": -5, "b": 1e12, "width": 1e9}, "brush": {"style": 1e20}},
        {"name": "TextShape", "rotation": 725, "scaleX": 1, "scaleY": 1, "points": [{"x": 5, "y": 50}],
         "text": "大", "fontSize": 1e9, "pen": {"width": -3}}
    ]})");
    file.close();
    PainterStorage storage;
    QVERIFY(storage.load("huge.json"));
    QCOMPARE(storage.records.size(), 2);
    const ShapeRecord& rect = storage.records[0];
    QVERIFY(rect.rotation >= 0 && rect.rotation < 360);
    QCOMPARE(rect.scaleX, 100.0f);
    QCOMPARE(rect.scaleY, -100.0f);
    QCOMPARE(rect.points[0], QPointF(1e6, -1e6));
    QCOMPARE(rect.penWidth, 100);
    QCOMPARE(rect.penColor, QColor(255, 0, 255));
    const ShapeRecord& text = storage.records[1];
    QCOMPARE(text.rotation, 5.0f);
    QCOMPARE(text.fontSize, 400);
    QCOMPARE(text.penWidth, 0);

    // The surface paints the page in reasonable time.
    RenderArea area;
    area.resize(300, 200);
    area.setFileName("huge.json");
    QCOMPARE(area.shapes().size(), 2);
    QImage image(area.size(), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::white);
    area.render(&image);
}

void TestPageStore::journalFoldsIntoThePageFileThatTodaysClientReads()
{
    RenderArea area;
    area.resize(400, 300);
    area.setInstrumentType(Pen);
    area.setFileName("fold.json");
    drag(&area, { 10, 10 }, { 100, 100 });
    drag(&area, { 10, 100 }, { 100, 10 });
    WaitForPageFiles();
    // Both the journal and the file hold the strokes; the file says which entries it holds.
    QFile page(storageFile("fold.json"));
    QVERIFY(page.open(QIODevice::ReadOnly));
    const QJsonObject document = QJsonDocument::fromJson(page.readAll()).object();
    page.close();
    QCOMPARE(document.value("shapes").toArray().size(), 2);
    QCOMPARE(document.value("journal").toObject().value("seq").toInt(), 2);
    QVERIFY(QFile::exists(PageStore::journalPath("fold.json")));

    // Read again, the journal holds nothing the file does not: it goes.
    area.setFileName("other.json");
    area.setFileName("fold.json");
    QCOMPARE(area.shapes().size(), 2);
    QVERIFY(!QFile::exists(PageStore::journalPath("fold.json")));
    drag(&area, { 200, 10 }, { 300, 100 });
    WaitForPageFiles();

    // Today's client rewrites the page without the journal's tag: the journal no longer applies.
    PainterStorage old;
    QVERIFY(old.load("fold.json"));
    QCOMPARE(old.records.size(), 3);
    old.records.removeFirst();
    old.journalTag = QJsonObject();
    QVERIFY(old.save("fold.json"));
    area.setFileName("other.json");
    LogCapture log;
    area.setFileName("fold.json");
    QCOMPARE(area.shapes().size(), 2);
    QVERIFY(log.contains("stale journal"));
}

void TestPageStore::killedClientLosesAtMostTheStrokeBeingDrawn()
{
    // A busy page keeps the background writer at work while the client is killed.
    writeBusyPage("killed.json", 1200);
    int before = 1200;
    for (int killAfter : { 0, 2, 9 }) {
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(kChildFolder, m_dir->path());
        child.setProcessEnvironment(env);
        child.start(QCoreApplication::applicationFilePath(), QStringList());
        QVERIFY2(child.waitForStarted(), qPrintable(child.errorString()));
        QString last;
        while (!last.startsWith(QStringLiteral("stroke %1").arg(killAfter))) {
            if (!child.canReadLine())
                QVERIFY2(child.waitForReadyRead(30000), "the child draws");
            if (child.canReadLine())
                last = QString::fromLatin1(child.readLine()).trimmed();
        }
        ::kill(pid_t(child.processId()), SIGKILL);
        QVERIFY(child.waitForFinished(10000));
        // Strokes it finished between the line awaited and the kill count too.
        int finished = killAfter + 1;
        for (const QByteArray& line : child.readAllStandardOutput().split('\n')) {
            if (line.startsWith("stroke "))
                finished = std::max(finished, line.mid(7).toInt() + 1);
        }
        // Whatever the moment, the page file is whole.
        QFile page(storageFile("killed.json"));
        QVERIFY(page.open(QIODevice::ReadOnly));
        QJsonParseError error {};
        QJsonDocument::fromJson(page.readAll(), &error);
        QCOMPARE(error.error, QJsonParseError::NoError);
        // Every stroke the child said it finished is there; the one being drawn may be, no other.
        const LoadedPage read = PageStore::instance()->read("killed.json");
        QVERIFY2(read.shapes.size() >= before + finished && read.shapes.size() <= before + finished + 1,
            qPrintable(QStringLiteral("%1 shapes after %2 strokes on %3")
                           .arg(read.shapes.size())
                           .arg(finished)
                           .arg(before)));
        before = read.shapes.size();
    }
}

void TestPageStore::closingTheSurfaceKeepsThePageInView_regression()
{
    {
        RenderArea area;
        area.resize(400, 300);
        area.show();
        QVERIFY(QTest::qWaitForWindowExposed(&area));
        area.setFileName("close.json");
        area.setInstrumentType(Pen);
        drag(&area, { 10, 10 }, { 100, 100 });
        area.setInstrumentType(Text);
        QTest::mouseClick(&area, Qt::LeftButton, Qt::NoModifier, { 50, 200 });
        area.textEditor()->setText(QStringLiteral("未确认"));
    }
    WaitForPageFiles();
    PainterStorage reread;
    QVERIFY(reread.load("close.json"));
    QCOMPARE(reread.records.size(), 2);
    QCOMPARE(reread.records[1].text, QStringLiteral("未确认"));

    // Closed while a large page is still read: what was drawn on it is kept too.
    writeBusyPage("closing.json", 1500);
    {
        RenderArea area;
        area.resize(400, 300);
        area.show();
        area.setFileName("closing.json");
        QVERIFY(area.isLoading());
        area.setInstrumentType(Rectangle);
        drag(&area, { 20, 20 }, { 200, 150 });
    }
    WaitForPageFiles();
    QVERIFY(reread.load("closing.json"));
    QCOMPARE(reread.records.size(), 1501);
    QCOMPARE(reread.records.last().name, QStringLiteral("RectangleShape"));
}

void TestPageStore::pictureIsShownOnlyWhenItIsThePageFilesDrawing_data()
{
    QTest::addColumn<QString>("spoiler");
    QTest::addColumn<bool>("shown");
    QTest::addColumn<int>("shapes");
    QTest::newRow("as saved") << "" << true << 1501;
    QTest::newRow("page file rewritten by another client") << "rewrite" << false << 1500;
    QTest::newRow("journal holds a later stroke") << "journal" << false << 1502;
    QTest::newRow("picture cut short") << "cut" << false << 1501;
    QTest::newRow("surface of another size") << "resize" << false << 1501;
}

void TestPageStore::pictureIsShownOnlyWhenItIsThePageFilesDrawing()
{
    QFETCH(QString, spoiler);
    QFETCH(bool, shown);
    QFETCH(int, shapes);
    writeBusyPage("pic.json", 1500);
    RenderArea area;
    area.resize(400, 300);
    area.show();
    QVERIFY(QTest::qWaitForWindowExposed(&area));
    QSignalSpy loaded(&area, &RenderArea::pageLoaded);
    area.setFileName("pic.json");
    QVERIFY(loaded.wait(20000));
    area.setInstrumentType(Pen);
    drag(&area, { 20, 20 }, { 380, 280 });
    WaitForPageFiles();
    QVERIFY(QFile::exists(PageStore::picturePath("pic.json")));
    area.setFileName("other.json");

    PainterStorage file;
    QVERIFY(file.load("pic.json"));
    if (spoiler == "rewrite") {
        file.records.removeFirst();
        QVERIFY(file.save("pic.json"));
    } else if (spoiler == "journal") {
        PageJournal journal;
        journal.reset("pic.json",
            JournalState { file.journalTag.value("id").toString(),
                qint64(file.journalTag.value("seq").toDouble()), QByteArray(), true });
        PageChange stroke;
        stroke.added.append({ 1501, PainterStorage::shapeFromRecord(file.records.first()) });
        QVERIFY(journal.append(stroke));
        journal.close();
    } else if (spoiler == "cut") {
        QFile picture(PageStore::picturePath("pic.json"));
        QVERIFY(picture.resize(picture.size() / 2));
    } else if (spoiler == "resize") {
        area.resize(401, 300);
    }

    // Straight from the store: the picture is what the shapes read paint, pixel for pixel.
    const QImage picture = PageStore::instance()->picture("pic.json", area.size(), 1.0);
    const LoadedPage page = PageStore::instance()->read("pic.json", area.size(), 1.0, false);
    QCOMPARE(!picture.isNull(), shown);
    QCOMPARE(page.shapes.size(), shapes);
    if (shown)
        QVERIFY(picture == page.layer);

    // On the surface: shown before the shapes are read, and the same drawing once they are.
    bool loadingWhenShown = false;
    QImage first;
    connect(&area, &RenderArea::pageShown, this, [&] {
        loadingWhenShown = area.isLoading();
        first = area.grab().toImage();
    });
    area.setFileName("pic.json");
    QVERIFY(loaded.wait(20000));
    QCOMPARE(loadingWhenShown, shown);
    QCOMPARE(area.shapes().size(), shapes);
    QVERIFY(first == area.grab().toImage());

    // The layer the page came with (its picture, when there is one) stays the shapes' drawing:
    // with a stroke on it and with that stroke undone it paints as every shape painted anew.
    area.setInstrumentType(Pen);
    drag(&area, { 40, 250 }, { 360, 30 });
    for (const char* step : { "stroke", "undone" }) {
        const QImage cached = area.grab().toImage();
        area.setLayerCacheEnabled(false);
        QVERIFY2(cached == area.grab().toImage(), step);
        area.setLayerCacheEnabled(true);
        if (qstrcmp(step, "stroke") == 0)
            QVERIFY(area.undo());
    }
}

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    if (qEnvironmentVariableIsSet(kChildFolder))
        return drawUntilKilled();
    TestPageStore test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_pagestore.moc"
