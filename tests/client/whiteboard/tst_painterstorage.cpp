#include "whiteboard/painterstorage.h"
#include "shell/AppFolders.h"

#include <QApplication>
#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPainter>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/resource.h>

namespace {

std::shared_ptr<GeneralShape> curve(
    std::initializer_list<QPointF> points, QColor color = Qt::black, int width = 3)
{
    auto shape = std::make_shared<CurveShape>();
    for (const QPointF& p : points)
        shape->addPoint(p);
    shape->setPen(QPen(color, width));
    return shape;
}

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeAll(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

} // namespace

class TestPainterStorage : public QObject {
    Q_OBJECT
private slots:
    void init();
    void roundTripKeepsValuesAndLayout();
    void badNamesAndFilesLoadWhatTheyCan();
    void interruptedSaveKeepsOldFile();

private:
    QString filePath(const QString& name) const { return m_dir->path() + "/storage/" + name; }
    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestPainterStorage::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    SetAppFolders(m_dir->path(), m_dir->path());
}

void TestPainterStorage::roundTripKeepsValuesAndLayout()
{
    auto stroke
        = curve({ { 0.123456789012, 1e-9 }, { 1234.5678901234, -98.7654321 } }, QColor(10, 160, 30, 40), 5);
    auto rect = std::make_shared<RectangleShape>();
    rect->addPoint({ 5, 5 });
    rect->addPoint({ 50, 25 });
    rect->setRotation(37.5f);
    rect->setScaleX(1.25f);
    rect->setScaleY(-0.5f);
    rect->setBrush(QBrush(QColor(200, 100, 50), Qt::Dense4Pattern));
    auto text = std::make_shared<TextShape>();
    text->addPoint({ 100, 200 });
    text->setText(QStringLiteral("光合作用"));
    text->setFontSize(18);
    text->setRotation(-12);
    auto arrow = std::make_shared<ArrowShape>();
    arrow->addPoint({ 10, 10 });
    arrow->addPoint({ 40, 30 });
    PainterStorage out;
    out.setShapes({ stroke, rect, text, arrow });
    QVERIFY(out.save("trip.json"));

    // The page file others read: indented JSON with these keys.
    const QByteArray bytes = readAll(filePath("trip.json"));
    QVERIFY2(bytes.contains("\n    "), "indented form");
    const QJsonObject doc = QJsonDocument::fromJson(bytes).object();
    const QJsonObject first = doc.value("shapes").toArray()[0].toObject();
    QCOMPARE(first.value("name").toString(), QStringLiteral("CurveShape"));
    QCOMPARE(first.value("pen").toObject().value("g").toInt(), 160);
    QCOMPARE(doc.value("shapes").toArray()[2].toObject().value("fontSize").toInt(), 18);

    PainterStorage in;
    QVERIFY(in.load("trip.json"));
    const ShapeList shapes = in.getGeneralShape();
    QCOMPARE(shapes.size(), 4);
    QCOMPARE(shapes[0]->points(), stroke->points());
    QCOMPARE(shapes[0]->pen(), QPen(QColor(10, 160, 30, 255), 5));
    QVERIFY(shapes[1]->rotation() == 37.5f && shapes[1]->scaleX() == 1.25f && shapes[1]->scaleY() == -0.5f);
    QCOMPARE(shapes[1]->brush(), QBrush(QColor(200, 100, 50), Qt::Dense4Pattern));
    auto* words = static_cast<TextShape*>(shapes[2].get());
    QCOMPARE(words->text(), QStringLiteral("光合作用"));
    QCOMPARE(words->font().pointSize(), 18);
    QCOMPARE(words->pointBounds().bottom, 200.0f);
    // Text bounds are remeasured after loading, so the frame carries the stored rotation.
    QCOMPARE(words->frame().minX, text->frame().minX);
    // The shapes share the records' points, painted and picked too: a heavy page holds them once.
    QImage canvas(64, 64, QImage::Format_ARGB32_Premultiplied);
    QPainter painter(&canvas);
    for (int i = 0; i < shapes.size(); ++i) {
        shapes[i]->draw(&painter, 1);
        shapes[i]->distanceTo({ 1, 1 });
        QCOMPARE(shapes[i]->points().constData(), in.records[i].points.constData());
    }
}

void TestPainterStorage::badNamesAndFilesLoadWhatTheyCan()
{
    PainterStorage named;
    named.setShapes({ curve({ { 0, 0 }, { 1, 1 } }) });
    QVERIFY(!named.save(QString()) && !named.load(QString()));

    QDir(m_dir->path()).mkdir("storage");
    writeAll(filePath("junk.json"), "{ this is not json");
    PainterStorage storage;
    storage.records.append(ShapeRecord());
    // Damaged: nothing loads and the file is put aside, so no save can empty it.
    QVERIFY(!storage.load("junk.json"));
    QVERIFY(storage.records.isEmpty());
    QVERIFY(!QFile::exists(filePath("junk.json")) && QFile::exists(filePath("junk.json.damaged")));

    // Unknown kinds are skipped, missing keys read as zero, a bogus brush style as no fill.
    writeAll(filePath("mixed.json"), R"({"shapes": [
        {"name": "PolylineShape", "points": [{"x": 1, "y": 1}, {"x": 2, "y": 2}]},
        {"name": "CurveShape", "points": [{"x": 1, "y": 1}, {"x": 9, "y": 9}],
         "pen": {"r": 255, "width": 2}, "brush": {"style": 9999}},
        {"name": "Hexagon"}, "not an object",
        {"name": "TextShape", "points": [{"x": 5, "y": 50}], "text": "ok", "fontSize": 11, "scaleX": 1, "scaleY": 1}
    ]})");
    PainterStorage mixed;
    QVERIFY(mixed.load("mixed.json"));
    QCOMPARE(mixed.records.size(), 5);
    const ShapeList shapes = mixed.getGeneralShape();
    QCOMPARE(shapes.size(), 2);
    QCOMPARE(shapes[0]->scaleX(), 0.0f);
    QCOMPARE(shapes[0]->pen().color(), QColor(255, 0, 0));
    QCOMPARE(shapes[0]->brush().style(), Qt::NoBrush);
    QCOMPARE(static_cast<TextShape*>(shapes[1].get())->text(), QStringLiteral("ok"));
}

void TestPainterStorage::interruptedSaveKeepsOldFile()
{
    PainterStorage small;
    small.setShapes({ curve({ { 0, 0 }, { 5, 5 } }) });
    QVERIFY(small.save("page.json"));
    const QByteArray before = readAll(filePath("page.json"));
    ShapeList many;
    for (int i = 0; i < 200; ++i)
        many.append(curve({ { double(i), 0 }, { double(i), 100 }, { i + 0.5, 50 } }));
    PainterStorage big;
    big.setShapes(many);

    // The disk "fills up" part-way through the write: writes past the limit fail.
    rlimit old {};
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &old), 0);
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit tight = old;
    tight.rlim_cur = 4096;
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &tight), 0);
    const bool saved = big.save("page.json");
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);

    QVERIFY2(!saved, "a failed write is not reported as saved");
    QCOMPARE(readAll(filePath("page.json")), before);
    QCOMPARE(QDir(m_dir->path() + "/storage").entryList(QDir::Files), QStringList { "page.json" });
    QVERIFY(big.save("page.json"));
    QVERIFY(small.load("page.json"));
    QCOMPARE(small.records.size(), 200);
}

QTEST_MAIN(TestPainterStorage)
#include "tst_painterstorage.moc"
