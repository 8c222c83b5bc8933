#include "whiteboard/painterstorage.h"

#include <QApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>
#include <csignal>
#include <sys/resource.h>

namespace {

std::shared_ptr<GeneralShape> curve(std::initializer_list<QPointF> points, QColor color = Qt::black, int width = 3)
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

// The page file as QJsonDocument writes it, built key by key from the records.
QByteArray qtJson(const PainterStorage& storage)
{
    QJsonArray shapes;
    for (const ShapeRecord& r : storage.records) {
        QJsonArray points;
        for (const QPointF& p : r.points)
            points.append(QJsonObject{{"x", p.x()}, {"y", p.y()}});
        QJsonObject shape{{"name", r.name},
                          {"rotation", double(r.rotation)},
                          {"scaleX", double(r.scaleX)},
                          {"scaleY", double(r.scaleY)},
                          {"points", points},
                          {"pen", QJsonObject{{"r", r.penColor.red()}, {"g", r.penColor.green()},
                                              {"b", r.penColor.blue()}, {"width", r.penWidth}}},
                          {"brush", QJsonObject{{"r", r.brushColor.red()}, {"g", r.brushColor.green()},
                                                {"b", r.brushColor.blue()}, {"style", r.brushStyle}}}};
        if (!r.text.isEmpty()) {
            shape.insert("text", r.text);
            shape.insert("fontSize", r.fontSize);
        }
        shapes.append(shape);
    }
    const QJsonObject document{{"scaleX", double(storage.scaleX)}, {"scaleY", double(storage.scaleY)},
                               {"r", storage.color.red()}, {"g", storage.color.green()},
                               {"b", storage.color.blue()}, {"shapes", shapes}};
    return QJsonDocument(document).toJson();
}

// Exactly equal, down to the sign of zero: QPointF's == would forgive small differences.
bool sameNumber(double a, double b)
{
    return a == b && std::signbit(a) == std::signbit(b);
}

QString recordDifference(const ShapeRecord& a, const ShapeRecord& b)
{
    if (a.name != b.name || a.text != b.text)
        return QStringLiteral("name or text");
    if (a.points.size() != b.points.size())
        return QStringLiteral("point count");
    for (int i = 0; i < a.points.size(); ++i) {
        if (!sameNumber(a.points[i].x(), b.points[i].x()) || !sameNumber(a.points[i].y(), b.points[i].y()))
            return QStringLiteral("point %1: %2,%3 vs %4,%5")
                .arg(i)
                .arg(a.points[i].x(), 0, 'g', 17)
                .arg(a.points[i].y(), 0, 'g', 17)
                .arg(b.points[i].x(), 0, 'g', 17)
                .arg(b.points[i].y(), 0, 'g', 17);
    }
    if (!sameNumber(a.rotation, b.rotation) || !sameNumber(a.scaleX, b.scaleX) || !sameNumber(a.scaleY, b.scaleY))
        return QStringLiteral("rotation or scale");
    if (a.penColor != b.penColor || a.penWidth != b.penWidth || a.brushColor != b.brushColor
        || a.brushStyle != b.brushStyle || (!a.text.isEmpty() && a.fontSize != b.fontSize))
        return QStringLiteral("pen, brush or font size");
    return {};
}

} // namespace

class TestPainterStorage : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void emptyNameAndNothingToSave();
    void savedDocumentLayout();
    void savedBytesEqualQtJsonWriter();
    void directReadEqualsGeneralParser_data();
    void directReadEqualsGeneralParser();
    void roundTripKeepsValues();
    void badFilesLoadWhatTheyCan();
    void unwritableStorageFolder();
    void interruptedSaveKeepsOldFile();

private:
    QString filePath(const QString& name) const { return m_dir->path() + "/storage/" + name; }
    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestPainterStorage::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    PainterStorage::setApplicationFolder(m_dir->path());
}

void TestPainterStorage::cleanup()
{
    PainterStorage::setApplicationFolder(QString());
    m_dir.reset();
}

void TestPainterStorage::emptyNameAndNothingToSave()
{
    PainterStorage storage;
    storage.setShapes({curve({{0, 0}, {1, 1}})});
    QVERIFY(!storage.save(QString()));
    QVERIFY(!storage.load(QString()));

    PainterStorage empty;
    QTest::ignoreMessage(QtDebugMsg, "nothing to save!");
    QVERIFY(!empty.save("page1.json"));
    QVERIFY(!QFile::exists(filePath("page1.json")));
    QVERIFY2(QDir(m_dir->path() + "/storage").exists(), "the folder is made on the first save");

    QTest::ignoreMessage(QtWarningMsg, "Couldn't open save file.");
    QVERIFY(!empty.load("page1.json"));

    // An existing file is rewritten even with nothing in it: erasing the last shape sticks.
    QVERIFY(storage.save("page1.json"));
    QVERIFY(empty.save("page1.json"));
    const QJsonObject doc = QJsonDocument::fromJson(readAll(filePath("page1.json"))).object();
    QVERIFY(doc.contains("shapes"));
    QCOMPARE(doc.value("shapes").toArray().size(), 0);
}

void TestPainterStorage::savedDocumentLayout()
{
    auto text = std::make_shared<TextShape>();
    text->addPoint({10, 40});
    text->setText(QStringLiteral("光合作用"));
    text->setFontSize(14);
    PainterStorage storage;
    storage.setShapes({curve({{1, 2}, {3, 4}}, QColor("#00A056"), 5), text});
    QVERIFY(storage.save("layout.json"));

    const QByteArray bytes = readAll(filePath("layout.json"));
    QVERIFY2(bytes.contains("\n    "), "indented form");
    const QJsonObject doc = QJsonDocument::fromJson(bytes).object();
    QCOMPARE(doc.value("scaleX").toDouble(), 1.0);
    QCOMPARE(doc.value("scaleY").toDouble(), 1.0);
    QCOMPARE(doc.value("r").toInt(-1), 0);
    QCOMPARE(doc.value("g").toInt(-1), 0);
    QCOMPARE(doc.value("b").toInt(-1), 0);
    const QJsonArray shapes = doc.value("shapes").toArray();
    QCOMPARE(shapes.size(), 2);
    const QJsonObject stroke = shapes[0].toObject();
    QCOMPARE(stroke.value("name").toString(), QStringLiteral("CurveShape"));
    QVERIFY(!stroke.contains("text") && !stroke.contains("fontSize"));
    QCOMPARE(stroke.value("pen").toObject().value("g").toInt(), 0xA0);
    QCOMPARE(stroke.value("pen").toObject().value("width").toInt(), 5);
    QCOMPARE(stroke.value("brush").toObject().value("style").toInt(-1), int(Qt::NoBrush));
    QCOMPARE(stroke.value("points").toArray()[1].toObject().value("y").toDouble(), 4.0);
    const QJsonObject words = shapes[1].toObject();
    QCOMPARE(words.value("text").toString(), QStringLiteral("光合作用"));
    QCOMPARE(words.value("fontSize").toInt(), 14);
}

void TestPainterStorage::savedBytesEqualQtJsonWriter()
{
    // Numbers at every turn of the formatting: whole, -0, fractions, past 2^53 and 2^64, tiny.
    const double awkward[] = {0.0, -0.0, 7, -42, 0.5, 1.0 / 3, -2.75, 1e-9, 123456.7, 9007199254740992.0,
                              9007199254740994.0, 4611686018427387904.0, 1e17, 1e20, 1e21, -1e300,
                              double(0.1f), 1919.999999, 5e-324};
    auto stroke = std::make_shared<CurveShape>();
    for (size_t i = 0; i + 1 < std::size(awkward); ++i)
        stroke->addPoint({awkward[i], awkward[i + 1]});
    stroke->setPen(QPen(QColor(1, 2, 3), 4));
    auto rect = std::make_shared<RectangleShape>();
    rect->addPoint({5, 5});
    rect->addPoint({50.25, 25});
    rect->setRotation(0.1f);
    rect->setScaleX(-1.3f);
    rect->setBrush(QBrush(QColor(200, 100, 50), Qt::CrossPattern));
    auto quoted = std::make_shared<TextShape>();
    quoted->addPoint({1, 30});
    quoted->setText(QStringLiteral("“板书” \"q\" \\ tab\t nl\n \x01 \x7f é ") + QChar(0xD800) + QStringLiteral("x"));
    auto plain = std::make_shared<TextShape>();
    plain->addPoint({2, 60});
    plain->setText(QStringLiteral("plain ASCII ~"));
    plain->setFontSize(11);

    PainterStorage storage;
    storage.setShapes({stroke, rect, quoted, plain, std::make_shared<ArrowShape>()});
    storage.scaleX = 0.3f;
    storage.color = QColor(9, 8, 7);
    QVERIFY(storage.save("bytes.json"));
    const QByteArray expected = qtJson(storage);
    const QByteArray written = readAll(filePath("bytes.json"));
    if (written != expected) {
        int at = 0;
        while (at < written.size() && at < expected.size() && written[at] == expected[at])
            ++at;
        QFAIL(qPrintable(QStringLiteral("differs at byte %1: ...%2... instead of ...%3...")
                             .arg(at)
                             .arg(QString::fromUtf8(written.mid(std::max(0, at - 40), 80)),
                                  QString::fromUtf8(expected.mid(std::max(0, at - 40), 80)))));
    }

    PainterStorage empty;
    QVERIFY(empty.save("bytes.json"));
    QCOMPARE(readAll(filePath("bytes.json")), qtJson(empty));
}

void TestPainterStorage::directReadEqualsGeneralParser_data()
{
    QTest::addColumn<QByteArray>("json");

    QRandomGenerator random(7);
    ShapeList shapes;
    for (int s = 0; s < 30; ++s) {
        std::shared_ptr<GeneralShape> shape;
        if (s % 3 == 0) {
            auto text = std::make_shared<TextShape>();
            text->addPoint({random.bounded(800.0), random.bounded(600.0)});
            text->setText(s % 2 ? QStringLiteral("板书 ✓ %1").arg(s) : QStringLiteral("plain ~ %1").arg(s));
            text->setFontSize(9 + s % 12);
            shape = text;
        } else {
            shape = std::make_shared<CurveShape>();
            for (int i = 0; i < 20; ++i) {
                const double x = s % 2 ? std::round(random.bounded(1920.0)) : random.bounded(1920.0) - 100;
                const double y = random.bounded(1080.0) * (i % 5 ? 1.0 : 1e-7);
                shape->addPoint({x, y});
            }
        }
        shape->setPen(QPen(QColor(random.bounded(256), random.bounded(256), random.bounded(256)), 1 + s % 5));
        shape->setRotation(float(random.bounded(360.0)));
        shape->setScaleX(float(random.bounded(2.0)));
        shapes.append(shape);
    }
    PainterStorage storage;
    storage.setShapes(shapes);
    QTemporaryDir dir;
    PainterStorage::setApplicationFolder(dir.path());
    QVERIFY(storage.save("random.json"));
    const QByteArray saved = readAll(dir.path() + "/storage/random.json");
    QTest::newRow("as saved") << saved;
    QTest::newRow("compact") << QJsonDocument::fromJson(saved).toJson(QJsonDocument::Compact);

    const QByteArray shape = R"({"brush": {"b": 1, "g": 2, "r": 3, "style": 1}, "name": "CurveShape",
        "pen": {"b": 0, "g": 0, "r": 0, "width": 3}, "points": [POINTS], "rotation": ROT,
        "scaleX": 1, "scaleY": 1})";
    auto doc = [&](const QByteArray& points, const QByteArray& rotation = "0") {
        QByteArray one = shape;
        one.replace("POINTS", points).replace("ROT", rotation);
        return QByteArray(R"({"b": 0, "g": 0, "r": 0, "scaleX": 1, "scaleY": 1, "shapes": [)") + one + "]}";
    };
    QTest::newRow("number spellings")
        << doc(R"({"x": -0, "y": 1E+2}, {"x": 0.5e-3, "y": -0.0}, {"x": 123456789012345678, "y": 1e308},
                  {"y": 2.5, "x": 3}, {"x": 0.1000000000000000055511151231257827, "y": 9007199254740993})",
               "-12.25");
    QTest::newRow("keys reordered, spaces")
        << QByteArray(" \r\n\t{ \"shapes\" : [ ] , \"scaleY\":2,\"scaleX\":0.25,\"r\":9,\"g\":8,\"b\":7 } \n");
    // What the direct reader must leave to the general parser, and the parser's verdict then.
    QTest::newRow("unknown key") << doc(R"({"x": 1, "y": 2, "z": 3})");
    QTest::newRow("missing key") << doc(R"({"x": 1})");
    QTest::newRow("duplicate key") << doc(R"({"x": 1, "x": 5, "y": 2})");
    QTest::newRow("number as text") << doc(R"({"x": "12.5", "y": 2})");
    QTest::newRow("fraction for an integer") << QByteArray(R"({"b": 0.6, "g": 0, "r": 0, "scaleX": 1, "scaleY": 1, "shapes": []})");
    QTest::newRow("leading zero") << doc(R"({"x": 01, "y": 2})");
    QTest::newRow("huge exponent") << doc(R"({"x": 1e999, "y": 2})");
    QTest::newRow("escaped name") << QByteArray(doc("").replace("\"CurveShape\"", "\"Curve\\u0053hape\""));
    QTest::newRow("bad UTF-8") << QByteArray(doc("").replace("CurveShape", "Curve\xff\xfeShape"));
    QTest::newRow("trailing garbage") << doc("") + " x";
    QTest::newRow("text without size") << QByteArray(doc("").replace("\"scaleX\": 1, \"scaleY\": 1}", "\"scaleX\": 1, \"scaleY\": 1, \"text\": \"t\"}"));
}

void TestPainterStorage::directReadEqualsGeneralParser()
{
    QFETCH(QByteArray, json);
    // A key the direct reader does not know sends the same content through QJsonDocument.
    QByteArray general = json;
    general.insert(general.indexOf('{') + 1, "\"~\": 0, ");

    QDir(m_dir->path()).mkdir("storage");
    writeAll(filePath("direct.json"), json);
    writeAll(filePath("general.json"), general);
    PainterStorage direct;
    PainterStorage reference;
    QVERIFY(direct.load("direct.json"));
    QVERIFY(reference.load("general.json"));
    QCOMPARE(direct.scaleX, reference.scaleX);
    QCOMPARE(direct.scaleY, reference.scaleY);
    QCOMPARE(direct.color, reference.color);
    QCOMPARE(direct.records.size(), reference.records.size());
    for (int i = 0; i < direct.records.size(); ++i) {
        const QString difference = recordDifference(direct.records[i], reference.records[i]);
        if (!difference.isEmpty())
            QFAIL(qPrintable(QStringLiteral("record %1 differs: %2").arg(i).arg(difference)));
    }
}

void TestPainterStorage::roundTripKeepsValues()
{
    auto stroke = curve({{0.123456789012, 1e-9}, {1234.5678901234, -98.7654321}}, QColor(10, 20, 30, 40), 1);
    auto rect = std::make_shared<RectangleShape>();
    rect->addPoint({5, 5});
    rect->addPoint({50, 25});
    rect->setRotation(37.5f);
    rect->setScaleX(1.25f);
    rect->setScaleY(-0.5f);
    rect->setBrush(QBrush(QColor(200, 100, 50), Qt::Dense4Pattern));
    auto arrow = std::make_shared<ArrowShape>();
    arrow->addPoint({7, 7});
    arrow->addPoint({7, 7});
    auto text = std::make_shared<TextShape>();
    text->addPoint({100, 200});
    text->setText(QStringLiteral("x²"));
    text->setFontSize(18);
    text->setRotation(-12);

    PainterStorage out;
    out.setShapes({stroke, rect, arrow, text});
    QVERIFY(out.save("trip.json"));
    PainterStorage in;
    QVERIFY(in.load("trip.json"));
    const ShapeList shapes = in.getGeneralShape();
    QCOMPARE(shapes.size(), 4);

    QCOMPARE(shapes[0]->name(), QStringLiteral("CurveShape"));
    QCOMPARE(shapes[0]->points(), stroke->points());
    const QColor pen = shapes[0]->pen().color();
    QCOMPARE(pen, QColor(10, 20, 30, 255));
    QCOMPARE(shapes[0]->pen().width(), 1);

    QCOMPARE(shapes[1]->name(), QStringLiteral("RectangleShape"));
    QCOMPARE(shapes[1]->rotation(), 37.5f);
    QCOMPARE(shapes[1]->scaleX(), 1.25f);
    QCOMPARE(shapes[1]->scaleY(), -0.5f);
    QCOMPARE(shapes[1]->brush().style(), Qt::Dense4Pattern);
    QCOMPARE(shapes[1]->brush().color(), QColor(200, 100, 50));

    QCOMPARE(shapes[2]->name(), QStringLiteral("ArrowShape"));
    QCOMPARE(shapes[2]->points().size(), 2);

    auto* words = static_cast<TextShape*>(shapes[3].get());
    QCOMPARE(words->name(), QStringLiteral("TextShape"));
    QCOMPARE(words->text(), QStringLiteral("x²"));
    QCOMPARE(words->font().pointSize(), 18);
    QCOMPARE(words->rotation(), -12.0f);
    QCOMPARE(words->pointBounds().bottom, 200.0f);
    // Text bounds are remeasured after loading, so the frame carries the stored rotation.
    QCOMPARE(words->frame().minX, text->frame().minX);
}

void TestPainterStorage::badFilesLoadWhatTheyCan()
{
    QDir(m_dir->path()).mkdir("storage");
    writeAll(filePath("junk.json"), "{ this is not json");
    PainterStorage junk;
    junk.records.append(ShapeRecord());
    QVERIFY(junk.load("junk.json"));
    QVERIFY(junk.records.isEmpty());
    QVERIFY(junk.getGeneralShape().isEmpty());

    writeAll(filePath("array.json"), "[1, 2, 3]");
    PainterStorage array;
    QVERIFY(array.load("array.json"));
    QVERIFY(array.records.isEmpty());

    // Unknown kinds are skipped, missing keys read as zero, a bogus brush style as no fill.
    writeAll(filePath("mixed.json"), R"({"shapes": [
        {"name": "PolylineShape", "points": [{"x": 1, "y": 1}, {"x": 2, "y": 2}]},
        {"name": "CurveShape", "points": [{"x": 1, "y": 1}, {"x": 9, "y": 9}],
         "pen": {"r": 255, "width": 2}, "brush": {"style": 9999}},
        {"name": "Hexagon"},
        "not an object",
        {"name": "TextShape", "points": [{"x": 5, "y": 50}], "text": "ok", "fontSize": 11,
         "scaleX": 1, "scaleY": 1}
    ]})");
    PainterStorage mixed;
    QVERIFY(mixed.load("mixed.json"));
    QCOMPARE(mixed.records.size(), 5);
    QCOMPARE(mixed.scaleX, 0.0f);
    const ShapeList shapes = mixed.getGeneralShape();
    QCOMPARE(shapes.size(), 2);
    QCOMPARE(shapes[0]->name(), QStringLiteral("CurveShape"));
    QCOMPARE(shapes[0]->scaleX(), 0.0f);
    QCOMPARE(shapes[0]->pen().color(), QColor(255, 0, 0));
    QCOMPARE(shapes[0]->brush().style(), Qt::NoBrush);
    QCOMPARE(static_cast<TextShape*>(shapes[1].get())->text(), QStringLiteral("ok"));

    // No storage folder at all: warned, then the open fails.
    PainterStorage::setApplicationFolder(m_dir->path() + "/elsewhere");
    QTest::ignoreMessage(QtWarningMsg, "file not found");
    QTest::ignoreMessage(QtWarningMsg, "Couldn't open save file.");
    QVERIFY(!PainterStorage().load("mixed.json"));
}

void TestPainterStorage::unwritableStorageFolder()
{
    // A file where the folder should be: the folder cannot be made.
    writeAll(m_dir->path() + "/storage", "in the way");
    PainterStorage storage;
    storage.setShapes({curve({{0, 0}, {5, 5}})});
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^create file path error : "));
    QVERIFY(!storage.save("page.json"));
    QCOMPARE(readAll(m_dir->path() + "/storage"), QByteArray("in the way"));
}

void TestPainterStorage::interruptedSaveKeepsOldFile()
{
    PainterStorage small;
    small.setShapes({curve({{0, 0}, {5, 5}})});
    QVERIFY(small.save("page.json"));
    const QByteArray before = readAll(filePath("page.json"));
    QVERIFY(!before.isEmpty());

    ShapeList many;
    for (int i = 0; i < 200; ++i)
        many.append(curve({{double(i), 0}, {double(i), 100}, {i + 0.5, 50}}));
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
    QCOMPARE(QDir(m_dir->path() + "/storage").entryList(QDir::Files), QStringList{"page.json"});
    PainterStorage reread;
    QVERIFY(reread.load("page.json"));
    QCOMPARE(reread.records.size(), 1);

    QVERIFY(big.save("page.json"));
    QVERIFY(reread.load("page.json"));
    QCOMPARE(reread.records.size(), 200);
}

QTEST_MAIN(TestPainterStorage)
#include "tst_painterstorage.moc"
