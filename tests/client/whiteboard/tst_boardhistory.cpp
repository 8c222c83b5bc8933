#include "shell/AppFolders.h"
#include "whiteboard/PageStore.h"
#include "whiteboard/PaintSettings.h"
#include "whiteboard/PaintToolBar.h"
#include "whiteboard/UndoHistory.h"
#include "whiteboard/painterstorage.h"
#include "whiteboard/renderarea.h"

#include "BoardTestKit.h"

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QString describe(const ShapeRecord& r)
{
    return QStringLiteral("%1 %2 pen %3/%4 rot %5 scale %6,%7 text '%8'/%9")
               .arg(r.name)
               .arg(r.points.size())
               .arg(r.penColor.name())
               .arg(r.penWidth)
               .arg(double(r.rotation))
               .arg(double(r.scaleX))
               .arg(double(r.scaleY))
               .arg(r.text)
               .arg(r.text.isEmpty() ? 0 : r.fontSize)
        + [&] {
              QString points;
              for (const QPointF& p : r.points)
                  points += QStringLiteral(" (%1,%2)").arg(p.x()).arg(p.y());
              return points;
          }();
}

QStringList describe(const ShapeList& shapes)
{
    QStringList out;
    for (const auto& shape : shapes)
        out << describe(PainterStorage::recordFromShape(*shape));
    return out;
}

// The page file as a client that knows no journal reads it.
QStringList pageFile(const QString& name)
{
    WaitForPageFiles();
    PainterStorage storage;
    // A page that never held a shape is not written at all.
    if (!storage.load(name))
        return {};
    QStringList out;
    for (const ShapeRecord& r : storage.records)
        out << describe(r);
    return out;
}

ShapeRecord curve(QVector<QPointF> points, int width = 3)
{
    ShapeRecord r;
    r.name = QStringLiteral("CurveShape");
    r.points = std::move(points);
    r.penColor = QColor(20, 90, 160);
    r.penWidth = width;
    return r;
}

} // namespace

class TestBoardHistory : public QObject {
    Q_OBJECT
private slots:
    void init();
    void eachChangeUndoesAndRedoesAsOneStep_data();
    void eachChangeUndoesAndRedoesAsOneStep();
    void historySurvivesPageSwitchesAndIsBounded();
    void keysAndButtonsUndoOnTheBoardOnly();

    void cleanup();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<RenderArea> m_area;
};

void TestBoardHistory::cleanup()
{
    m_area.reset();
    WaitForPageFiles();
}

void TestBoardHistory::init()
{
    m_area.reset();
    WaitForPageFiles();
    m_dir = std::make_unique<QTemporaryDir>();
    SetAppFolders(m_dir->path(), m_dir->path());
    PenSettings::reset();
    FontSettings::reset();
    m_area = std::make_unique<RenderArea>();
    m_area->resize(400, 300);
    m_area->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_area.get()));
}

void TestBoardHistory::eachChangeUndoesAndRedoesAsOneStep_data()
{
    QTest::addColumn<QString>("change");
    for (const char* change :
        { "stroke", "rectangle", "arrow", "text", "erase click", "erase band", "move", "move band", "clear" })
        QTest::newRow(change) << QString::fromLatin1(change);
}

void TestBoardHistory::eachChangeUndoesAndRedoesAsOneStep()
{
    QFETCH(QString, change);
    // A page as today's client writes it: a rectangle, a stroke and an arrow.
    PainterStorage file;
    ShapeRecord rect = curve({ { 50, 50 }, { 120, 110 } });
    rect.name = QStringLiteral("RectangleShape");
    ShapeRecord arrow = curve({ { 300, 50 }, { 350, 120 } }, 5);
    arrow.name = QStringLiteral("ArrowShape");
    file.records = { rect, curve({ { 200, 200 }, { 240, 230 }, { 260, 260 } }), arrow };
    QVERIFY(file.save("page.json"));
    RenderArea& area = *m_area;
    area.setFileName("page.json");
    QCOMPARE(area.shapes().size(), 3);
    const QStringList before = describe(area.shapes());
    QCOMPARE(pageFile("page.json"), before);
    QVERIFY(!area.canUndo());

    if (change == "stroke") {
        area.setInstrumentType(Pen);
        drag(&area, { 10, 10 }, { 90, 250 });
    } else if (change == "rectangle") {
        area.setInstrumentType(Rectangle);
        drag(&area, { 150, 150 }, { 190, 280 });
    } else if (change == "arrow") {
        area.setInstrumentType(Arrow);
        drag(&area, { 20, 280 }, { 380, 20 });
    } else if (change == "text") {
        area.setInstrumentType(Text);
        QTest::mouseClick(&area, Qt::LeftButton, Qt::NoModifier, { 30, 200 });
        area.textEditor()->setText(QStringLiteral("一步"));
        area.editingFinished();
    } else if (change == "erase click") {
        area.setInstrumentType(Eraser);
        QTest::mouseClick(&area, Qt::LeftButton, Qt::NoModifier, { 240, 230 });
    } else if (change == "erase band") {
        area.setInstrumentType(Eraser);
        drag(&area, { 40, 40 }, { 130, 120 });
    } else if (change == "move") {
        area.setInstrumentType(Move);
        drag(&area, { 240, 230 }, { 100, 120 });
    } else if (change == "move band") {
        area.setInstrumentType(Move);
        drag(&area, { 40, 40 }, { 270, 270 });
        drag(&area, { 85, 50 }, { 115, 90 });
    } else if (change == "clear") {
        area.clearDrawing();
    }
    const QStringList after = describe(area.shapes());
    QVERIFY2(after != before, "the change changed the page");
    QCOMPARE(pageFile("page.json"), after);
    QCOMPARE(area.history().undoSteps("page.json"), 1);

    QVERIFY(area.undo());
    QCOMPARE(describe(area.shapes()), before);
    QCOMPARE(pageFile("page.json"), before);
    QVERIFY(!area.canUndo() && area.canRedo());
    QVERIFY(area.redo());
    QCOMPARE(describe(area.shapes()), after);
    QCOMPARE(pageFile("page.json"), after);
    QVERIFY(area.undo());
    QCOMPARE(describe(area.shapes()), before);

    // The journal gives the same page to the next reader, and a new change ends the redo.
    area.setFileName("elsewhere.json");
    area.setFileName("page.json");
    QCOMPARE(describe(area.shapes()), before);
    QVERIFY(area.canRedo());
    area.setInstrumentType(Pen);
    drag(&area, { 300, 250 }, { 380, 290 });
    QVERIFY(!area.canRedo() && area.canUndo());
}

void TestBoardHistory::historySurvivesPageSwitchesAndIsBounded()
{
    RenderArea& area = *m_area;
    area.setInstrumentType(Pen);
    area.setFileName("a.json");
    drag(&area, { 10, 10 }, { 100, 100 });
    area.setFileName("b.json");
    drag(&area, { 10, 200 }, { 100, 250 });
    drag(&area, { 200, 200 }, { 300, 250 });
    area.setFileName("a.json");
    QCOMPARE(area.shapes().size(), 1);
    QVERIFY(area.undo());
    QVERIFY(area.shapes().isEmpty() && !area.canUndo());
    area.setFileName("b.json");
    QVERIFY(area.undo() && area.undo());
    QVERIFY(area.shapes().isEmpty() && !area.canUndo());
    QCOMPARE(pageFile("b.json"), QStringList());

    // Steps per page are capped; past the points budget the other pages give way first.
    UndoHistory history;
    auto heavy = std::make_shared<CurveShape>();
    for (int i = 0; i < 50000; ++i)
        heavy->addPoint(QPointF(i % 800, i / 800));
    auto light = std::make_shared<CurveShape>();
    light->addPoint({ 0, 0 });
    light->addPoint({ 5, 5 });
    history.setPage("old");
    for (int i = 0; i < 60; ++i)
        history.record(PageChange { {}, { { i, heavy } } });
    QCOMPARE(history.undoSteps("old"), 60);
    history.setPage("light");
    for (int i = 0; i < 300; ++i)
        history.record(PageChange { {}, { { i, light } } });
    QCOMPARE(history.undoSteps("light"), UndoHistory::kMaxSteps);
    QVERIFY(UndoHistory::kMaxSteps >= 200);
    history.setPage("now");
    for (int i = 0; i < 250; ++i)
        history.record(PageChange { {}, { { i, heavy } } });
    QCOMPARE(history.undoSteps("old"), 0);
    QCOMPARE(history.undoSteps("now"), UndoHistory::kKeptSteps);
    QVERIFY(history.undoSteps("light") < UndoHistory::kMaxSteps);
    // What is left over the budget is only the page in view's last kKeptSteps.
    QVERIFY(history.points() <= UndoHistory::kMaxPoints + UndoHistory::kKeptSteps * 50001);
    history.setPage("light");
    history.record(PageChange { {}, { { 0, light } } });
    QVERIFY(history.points() <= UndoHistory::kMaxPoints);
}

void TestBoardHistory::keysAndButtonsUndoOnTheBoardOnly()
{
    RenderArea& area = *m_area;
    PaintToolBar bar;
    connect(&bar, &PaintToolBar::UndoRequested, &area, &RenderArea::undo);
    connect(&bar, &PaintToolBar::RedoRequested, &area, &RenderArea::redo);
    connect(&area, &RenderArea::historyChanged, &bar, &PaintToolBar::setHistoryState);
    auto* undoButton = bar.findChild<QPushButton*>("undoButton");
    auto* redoButton = bar.findChild<QPushButton*>("redoButton");
    QVERIFY(undoButton && redoButton && !undoButton->isEnabled() && !redoButton->isEnabled());
    QCOMPARE(undoButton->toolTip(), QStringLiteral("撤销"));
    QCOMPARE(redoButton->toolTip(), QStringLiteral("重做"));

    area.setFileName("keys.json");
    area.setInstrumentType(Pen);
    drag(&area, { 10, 10 }, { 100, 100 });
    drag(&area, { 100, 10 }, { 10, 100 });
    QVERIFY(undoButton->isEnabled() && !redoButton->isEnabled());
    QTest::keyClick(&area, Qt::Key_Z, Qt::ControlModifier);
    QCOMPARE(area.shapes().size(), 1);
    QTest::keyClick(&area, Qt::Key_Z, Qt::ControlModifier);
    QVERIFY(area.shapes().isEmpty() && !undoButton->isEnabled() && redoButton->isEnabled());
    QTest::keyClick(&area, Qt::Key_Y, Qt::ControlModifier);
    QTest::keyClick(&area, Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier);
    QCOMPARE(area.shapes().size(), 2);
    undoButton->click();
    QCOMPARE(area.shapes().size(), 1);
    redoButton->click();
    QCOMPARE(area.shapes().size(), 2);

    // In the board's text box the keys are the text's own.
    area.setInstrumentType(Text);
    QTest::mouseClick(&area, Qt::LeftButton, Qt::NoModifier, { 50, 200 });
    QLineEdit* editor = area.textEditor();
    QTest::keyClicks(editor, QStringLiteral("ab"));
    QTest::keyClick(editor, Qt::Key_Z, Qt::ControlModifier);
    QCOMPARE(area.shapes().size(), 3);
    QVERIFY(editor->isVisible());
    QTest::keyClicks(editor, QStringLiteral("cd"));
    QTest::keyClick(editor, Qt::Key_Return);
    QCOMPARE(area.shapes().size(), 3);
    QCOMPARE(area.shapes().last()->textContent(), editor->text());
    QTest::keyClick(&area, Qt::Key_Z, Qt::ControlModifier);
    QCOMPARE(area.shapes().size(), 2);
}

QTEST_MAIN(TestBoardHistory)
#include "tst_boardhistory.moc"
