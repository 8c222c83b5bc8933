#include "shell/AppFolders.h"
#include "whiteboard/PageModel.h"
#include "whiteboard/painterstorage.h"

#include "BoardTestKit.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>

namespace {

std::shared_ptr<GeneralShape> stroke(QPointF from, QPointF to)
{
    auto shape = GeneralShape::create(QStringLiteral("CurveShape"));
    shape->beginAt(from);
    shape->dragTo((from + to) / 2);
    shape->dragTo(to);
    return shape;
}

int savedRecords(const QString& name)
{
    WaitForPageFiles();
    PainterStorage reread;
    return reread.load(name) ? reread.records.size() : -1;
}

} // namespace

// The page without a surface: what the surface would do on each write request is done here.
class TestPageModel : public QObject {
    Q_OBJECT
private slots:
    void init();
    void finishingTakesOnlyTheShapeItselfOffThePage_data();
    void finishingTakesOnlyTheShapeItselfOffThePage();
    void pageReadWhileTheTeacherDrawsKeepsBoth();
    void cleanup();

private:
    void attach(PageModel& page)
    {
        connect(&page, &PageModel::writeWanted, &page, [&page] { page.write(page.shapes(), QImage()); });
    }

    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestPageModel::init()
{
    WaitForPageFiles();
    m_dir = std::make_unique<QTemporaryDir>();
    SetAppFolders(m_dir->path(), m_dir->path());
}

void TestPageModel::cleanup()
{
    WaitForPageFiles();
}

void TestPageModel::finishingTakesOnlyTheShapeItselfOffThePage_data()
{
    QTest::addColumn<QString>("meanwhile");
    QTest::addColumn<int>("kept");
    QTest::addColumn<bool>("step");
    // On top: finished as one step. Empty (a click): dropped, no step. Erased or cleared while
    // it was drawn (a text under edit): nothing else goes with it.
    QTest::newRow("on top") << "nothing" << 3 << true;
    QTest::newRow("empty") << "emptied" << 2 << false;
    QTest::newRow("stroke above") << "stroke above" << 4 << true;
    QTest::newRow("erased") << "erased" << 2 << false;
    QTest::newRow("cleared") << "cleared" << 0 << false;
}

void TestPageModel::finishingTakesOnlyTheShapeItselfOffThePage()
{
    QFETCH(QString, meanwhile);
    QFETCH(int, kept);
    QFETCH(bool, step);
    PageModel page;
    attach(page);
    QVERIFY(!page.enter("page.json"));
    page.load(QSize(), 1.0);
    const auto a = stroke({ 10, 10 }, { 50, 50 });
    const auto b = stroke({ 60, 10 }, { 90, 70 });
    for (const auto& shape : { a, b }) {
        page.place(shape);
        QVERIFY(page.finish(shape));
    }
    QCOMPARE(page.history().undoSteps("page.json"), 2);
    QCOMPARE(savedRecords("page.json"), 2);

    auto drawn = meanwhile == "emptied" ? GeneralShape::create(QStringLiteral("CurveShape"))
                                        : stroke({ 100, 100 }, { 150, 160 });
    page.place(drawn);
    if (meanwhile == "emptied")
        drawn->beginAt({ 100, 100 });
    if (meanwhile == "stroke above") {
        const auto above = stroke({ 5, 200 }, { 80, 210 });
        page.place(above);
        QVERIFY(page.finish(above));
    }
    if (meanwhile == "erased")
        QVERIFY(page.erase(drawn));
    if (meanwhile == "cleared")
        page.clear();
    const int before = page.history().undoSteps("page.json");
    QCOMPARE(page.finish(drawn), step);
    QCOMPARE(page.shapes().size(), kept);
    QCOMPARE(page.history().undoSteps("page.json") - before, step ? 1 : 0);
    if (kept > 0)
        QCOMPARE(page.shapes()[0], a);
    if (step)
        QCOMPARE(page.shapes().last(), drawn);
    QCOMPARE(savedRecords("page.json"), kept);
}

void TestPageModel::pageReadWhileTheTeacherDrawsKeepsBoth()
{
    writeBusyPage("busy.json", 1500);
    QVERIFY(!PageStore::instance()->readsAtOnce("busy.json"));
    PageModel page;
    attach(page);
    QSignalSpy loaded(&page, &PageModel::pageLoaded);
    QSize painted;
    connect(
        &page, &PageModel::shapesArrived, this, [&](const LoadedPage& read) { painted = read.layer.size(); });
    QVERIFY(!page.enter("busy.json"));
    page.load(QSize(400, 300), 1.0);
    QVERIFY(page.isLoading() && page.shapes().isEmpty());
    const auto drawn = stroke({ 20, 20 }, { 380, 280 });
    page.place(drawn);
    QVERIFY(page.finish(drawn));
    // The steps of the page count places in the whole page: none before it is read.
    QVERIFY(page.isLoading() && !page.canUndo());
    QVERIFY(loaded.wait(20000));
    QCOMPARE(painted, QSize(400, 300));
    QCOMPARE(page.shapes().size(), 1501);
    QCOMPARE(page.shapes().last(), drawn);
    QCOMPARE(savedRecords("busy.json"), 1501);
    QVERIFY(page.undo());
    QCOMPARE(page.shapes().size(), 1500);

    // Left before it was read: the stroke is kept, merged when the read arrives.
    writeBusyPage("second.json", 1500);
    page.leave();
    QVector<ShapeList> lists;
    QVector<QImage> images;
    page.release(lists, images);
    QVERIFY(!page.enter("second.json"));
    page.load(QSize(), 1.0);
    QVERIFY(page.isLoading());
    const auto second = stroke({ 30, 30 }, { 300, 200 });
    page.place(second);
    QVERIFY(page.finish(second));
    page.leave();
    page.release(lists, images);
    QSignalSpy written(PageStore::instance(), &PageStore::written);
    QVERIFY(!page.enter("third.json"));
    page.load(QSize(), 1.0);
    QTRY_VERIFY_WITH_TIMEOUT(std::any_of(written.begin(), written.end(),
                                 [](const QList<QVariant>& w) { return w[0] == "second.json"; }),
        20000);
    QCOMPARE(savedRecords("second.json"), 1501);
    page.leave();
    page.release(lists, images);
    QVERIFY(!page.enter("second.json"));
    page.load(QSize(), 1.0);
    QTRY_VERIFY_WITH_TIMEOUT(!page.isLoading(), 20000);
    QCOMPARE(page.shapes().size(), 1501);
}

QTEST_MAIN(TestPageModel)
#include "tst_pagemodel.moc"
