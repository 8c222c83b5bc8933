#include "shell/AppFolders.h"
#include "whiteboard/PageReader.h"
#include "whiteboard/painterstorage.h"

#include "TreeReader.h"

#include <QDir>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// A page as the surface saves it: every kind, words in Chinese, a journal tag.
QByteArray savedPage()
{
    PainterStorage file;
    const char* kinds[] = { "CurveShape", "RectangleShape", "ArrowShape", "TextShape" };
    for (int s = 0; s < 8; ++s) {
        ShapeRecord r;
        r.name = QLatin1String(kinds[s % 4]);
        r.penColor = QColor(20 * s, 160, 86);
        r.penWidth = 1 + s;
        r.brushStyle = s % 3;
        r.rotation = 12.5f * s;
        r.scaleX = 1.0f + s / 4.0f;
        r.scaleY = 1.0f - s / 8.0f;
        for (int i = 0; i < 3 + s; ++i)
            r.points.append(QPointF(5.25 * i - s, 7 * s + i / 3.0));
        if (r.name == QLatin1String("TextShape")) {
            r.text = QStringLiteral("光合作用 \"引号\"\n第%1行").arg(s);
            r.fontSize = 18;
        }
        file.records.append(r);
    }
    file.journalTag = QJsonObject { { "id", "5d0c1f0e-9d2b-4d8c-8d5e-2f8d1f7f2a11" }, { "seq", 42.0 } };
    file.save(QStringLiteral("saved.json"));
    QFile in(PainterStorage::storagePath() + QStringLiteral("/saved.json"));
    return in.open(QIODevice::ReadOnly) ? in.readAll() : QByteArray();
}

PageBytes padded(const QByteArray& bytes)
{
    PageBytes out;
    out.assign(bytes.constData(), bytes.size());
    return out;
}

// Both readers on the same bytes, as a page file and as a journal line: the same verdict and,
// when read, the same page. Empty when they agree.
QString disagreement(const QByteArray& bytes)
{
    PainterStorage tree;
    const bool treeRead = TreeReader::readPage(bytes, tree);
    PainterStorage page;
    PageReader reader;
    const bool pageRead = reader.readPage(padded(bytes), page);
    if (treeRead != pageRead)
        return QStringLiteral("page file: the tree reader says %1, the page reader %2")
            .arg(treeRead ? "read" : "damaged", pageRead ? "read" : "damaged");
    if (treeRead) {
        const QString d = TreeReader::difference(tree, page);
        if (!d.isEmpty())
            return QStringLiteral("page file: ") + d;
    }
    const QString d = TreeReader::difference(
        TreeReader::readEntry(bytes), reader.readEntry(padded(bytes), 0, bytes.size()));
    if (!d.isEmpty())
        return QStringLiteral("journal line: ") + d;
    // As a picture's header: the same object, keys nobody reads included.
    const QJsonObject header = reader.readObject(padded(bytes), 0, bytes.size());
    const QJsonObject treeHeader = TreeReader::readObject(bytes);
    if (!TreeReader::sameValues(header, treeHeader))
        return QStringLiteral("header: the tree reader reads %1, the page reader %2")
            .arg(QString::fromUtf8(QJsonDocument(treeHeader).toJson(QJsonDocument::Compact)),
                QString::fromUtf8(QJsonDocument(header).toJson(QJsonDocument::Compact)));
    return QString();
}

QByteArray nested(int levels)
{
    return QByteArray("{\"deep\":") + QByteArray(levels - 1, '[') + QByteArray(levels - 1, ']') + "}";
}

} // namespace

class TestPageReader : public QObject {
    Q_OBJECT
private slots:
    void init();
    void readsWhatTheTreeReaderRead_data();
    void readsWhatTheTreeReaderRead();
    void mutatedPagesGetTheTreeReadersVerdict();
    void journalAndPictureNumbersStayInRange_regression();
    void heavyPagesOneAfterAnother();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestPageReader::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    SetAppFolders(m_dir->path(), m_dir->path());
    QDir().mkpath(PainterStorage::storagePath());
}

void TestPageReader::readsWhatTheTreeReaderRead_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("read");

    init();
    QTest::newRow("saved page") << savedPage() << true;
    const QDir corpus(QFINDTESTDATA("../../../fuzz/corpus/page_file"));
    QVERIFY(corpus.exists());
    for (const QString& name : corpus.entryList(QDir::Files)) {
        QFile in(corpus.absoluteFilePath(name));
        QVERIFY(in.open(QIODevice::ReadOnly));
        QTest::newRow(qPrintable("corpus " + name))
            << in.readAll() << !(name.contains("truncated") || name.contains("damaged"));
    }

    // Every way a file is damaged, in keys that are read and in keys nobody reads.
    const QByteArray cut
        = R"({"b": 0, "g": 0, "r": 0, "scaleX": 1, "scaleY": 1, "shapes": [{"name": "CurveShape", "points": [{"x": 1)";
    QTest::newRow("cut short") << cut << false;
    QTest::newRow("empty") << QByteArray() << false;
    QTest::newRow("blanks only") << QByteArray(" \n\t\r ") << false;
    QTest::newRow("array") << QByteArray("[1, 2, 3]") << false;
    QTest::newRow("number") << QByteArray("5") << false;
    QTest::newRow("not json") << QByteArray("{ this is not json") << false;
    QTest::newRow("bad literal in ignored key")
        << QByteArray(R"({"other": [1,2,tru], "shapes": []})") << false;
    QTest::newRow("two points in a number") << QByteArray(R"({"other": 1.2.3})") << false;
    QTest::newRow("too large under ignored key") << QByteArray(R"({"other": {"deep": 1e400}})") << false;
    QTest::newRow("too small to tell from zero")
        << QByteArray(R"({"shapes": [{"rotation": 1e-400}]})") << false;
    QTest::newRow("rounds to zero") << QByteArray(R"({"x": 2.4703282292062327e-324})") << false;
    QTest::newRow("smallest double") << QByteArray(R"({"x": 2.4703282292062328e-324})") << true;
    QTest::newRow("garbage after") << QByteArray(R"({"shapes": []} x)") << false;
    QTest::newRow("second object after") << QByteArray(R"({} {})") << false;
    QTest::newRow("closing brace after") << QByteArray(R"({"a": {}}})") << false;
    QTest::newRow("nul after") << QByteArray("{}\0", 3) << false;
    QTest::newRow("comma before brace") << QByteArray(R"({"a": 1,})") << false;
    QTest::newRow("comma before bracket") << QByteArray(R"({"a": [1, 2,]})") << false;
    QTest::newRow("lone comma") << QByteArray(R"({,})") << false;
    QTest::newRow("missing colon") << QByteArray(R"({"a" 1})") << false;
    QTest::newRow("missing value") << QByteArray(R"({"a": })") << false;
    QTest::newRow("unbalanced") << QByteArray(R"({"a": [1, 2})") << false;
    QTest::newRow("unclosed inner") << QByteArray(R"({"a": {"b": 1})") << false;
    QTest::newRow("unclosed string") << QByteArray(R"({"a": "b})") << false;
    QTest::newRow("short unicode escape") << QByteArray(R"({"other": "\u12"})") << false;
    QTest::newRow("bad unicode escape in key") << QByteArray(R"({"\u00zz": 1})") << false;
    QTest::newRow("escaped lead byte") << QByteArray("{\"a\": \"\\\xC3\xA9\"}") << false;
    QTest::newRow("invalid utf-8") << QByteArray("{\"a\": \"\xFF\"}") << false;
    QTest::newRow("encoded surrogate") << QByteArray("{\"a\": \"\xED\xA0\x80\"}") << false;
    QTest::newRow("truncated literal") << QByteArray(R"({"a": nul})") << false;
    QTest::newRow("literal runs on") << QByteArray(R"({"a": truex})") << false;
    QTest::newRow("leading zero") << QByteArray(R"({"a": 01})") << false;
    QTest::newRow("minus alone") << QByteArray(R"({"a": -})") << false;
    QTest::newRow("plus sign") << QByteArray(R"({"a": +1})") << false;
    QTest::newRow("exponent without digits") << QByteArray(R"({"a": 1e})") << false;
    QTest::newRow("hex") << QByteArray(R"({"a": 0x10})") << false;
    QTest::newRow("two values") << QByteArray(R"({"a": 1 2})") << false;
    QTest::newRow("form feed between") << QByteArray("{\"a\":\f1}") << false;
    QTest::newRow("nesting at the limit") << nested(1024) << true;
    QTest::newRow("nesting past the limit") << nested(1025) << false;
    QTest::newRow("byte order mark") << QByteArray("\xEF\xBB\xBF{\"shapes\": []}") << true;
    QTest::newRow("byte order mark after a blank") << QByteArray(" \xEF\xBB\xBF{}") << false;
    QTest::newRow("two byte order marks") << QByteArray("\xEF\xBB\xBF\xEF\xBB\xBF{}") << false;

    // What the tree reader took although JSON does not.
    QTest::newRow("numbers without digits on one side") << QByteArray(
        R"({"shapes": [{"name": "CurveShape", "points": [{"x": .5, "y": -.5}, {"x": 1., "y": 1.e2}]}]})")
                                                        << true;
    QTest::newRow("unknown escapes") << QByteArray(
        R"({"shapes": [{"name": "TextShape", "points": [{"x": 1, "y": 2}], "text": "\a\'\q\U0041"}]})")
                                     << true;
    QTest::newRow("lone surrogates") << QByteArray(
        R"({"shapes": [{"name": "TextShape", "text": "\ud800 \udc00 \ud83d\ude00"}]})")
                                     << true;

    // Keys other clients write, values of other types, repeated keys.
    QTest::newRow("keys of other clients")
        << QByteArray(R"({"author": {"name": "王老师", "tags": [1, null, true, {"k": []}]}, "version": 3.5,
        "shapes": [{"name": "CurveShape", "layer": [[[]]], "points": [{"x": 1, "y": 2, "pressure": 0.5}, {"x": 3, "y": 4, "t": "12:00"}],
        "pen": {"r": 1, "g": 2, "b": 3, "width": 2, "cap": "round"}}]})")
        << true;
    QTest::newRow("values of other types") << QByteArray(
        R"({"scaleX": "2", "scaleY": true, "r": "300", "g": null, "b": [1],
        "shapes": [{"name": 5, "rotation": "725", "scaleX": "1e3", "scaleY": false, "points": [{"x": "12.5", "y": true}, 7, "p", {"x": null, "y": [3]}, {"x": "inf", "y": 1}],
        "pen": {"r": 2.5, "g": -2.5, "b": "7", "width": 1e10}, "brush": {"style": "3", "r": 1.5}},
        {"name": "TextShape", "points": [{"x": 1, "y": 30}], "text": 12.5, "fontSize": "18"},
        {"name": "TextShape", "points": [{"x": 1, "y": 30}], "text": 1e18, "fontSize": 9.2e18},
        {"name": "TextShape", "points": [{"x": 1, "y": 30}], "text": -0e5, "name": 1e19},
        {"name": "TextShape", "points": [{"x": 1, "y": 30}], "text": ["a"], "fontSize": 2.5},
        {"name": "TextShape", "points": [{"x": 1, "y": 30}], "text": null},
        "not an object", [], null]})") << true;
    QTest::newRow("repeated keys") << QByteArray(
        R"({"shapes": [{"name": "CurveShape"}], "shapes": [{"name": "ArrowShape", "name": "TextShape", "text": "a", "text": "b",
        "points": [{"x": 1, "y": 2}], "points": [{"x": 3, "x": 4, "y": 5}], "pen": {"r": 9}, "pen": {"g": 9}}], "journal": {"id": "a"}, "journal": {"id": "b", "seq": 7}})")
                                   << true;
    QTest::newRow("escaped keys") << QByteArray(
        R"({"shap\u0065s": [{"n\u0061me": "CurveShape", "points": [{"\u0078": 1, "y": 2}], "te\/xt": "x"}]})")
                                  << true;
    QTest::newRow("shapes not an array") << QByteArray(R"({"shapes": {"name": "CurveShape"}})") << true;
    QTest::newRow("numbers at the edges") << QByteArray(
        R"({"shapes": [{"name": "RectangleShape", "rotation": -0, "scaleX": -0.0, "scaleY": 1e-300,
        "points": [{"x": 123456789012345678901234567890, "y": -9223372036854775809}, {"x": 9007199254740993, "y": 0.1e1}, {"x": 1E5, "y": 0e-999}],
        "pen": {"width": 2147483647}, "brush": {"style": -2147483648}}]})")
                                          << true;
    QTest::newRow("decimals short and long") << QByteArray(
        R"({"shapes": [{"points": [{"x": 0.1, "y": -.5}, {"x": 1., "y": -0.0}, {"x": 123456789012.345, "y": 1234567890123.456},
        {"x": 0.30000000000000004, "y": 99999999999999.9}, {"x": 999999999999999.5, "y": 0.000000000000001}]}]})")
                                             << true;
    QTest::newRow("decimal with a leading zero") << QByteArray(R"({"x": 00.5})") << false;
    QTest::newRow("a point alone") << QByteArray(R"({"x": -.})") << false;
    QTest::newRow("journal tag of another kind")
        << QByteArray(R"({"journal": [1, 2], "shapes": []})") << true;
    QTest::newRow("journal line") << QByteArray(
        R"({"seq": 3, "remove": [0, 2.0, 2.5, "1", -0], "add": [{"at": 1, "shape": {"name": "CurveShape", "points": [{"x": 1, "y": 1}]}}, {"at": 1e10}, 5]})")
                                  << true;
    QTest::newRow("empty object") << QByteArray("{}") << true;
    // A header another client wrote: keys with NUL bytes, the inner one read while the outer
    // one's text was still to be taken.
    static const char nulKeys[] = "{\"picture\": 1, \"ab\0\": {\"xy\0\": 1}, \"width\": 400, \"\\u0041\0\": "
                                  "{\"\\u0042\": [{\"c\\n\": 2}]}}";
    QTest::newRow("lone surrogate in a key")
        << QByteArray(R"({"shapes": [{"name": "TextShape", "sca\ud800leY": 2, "t\udc00": 1, "text": "x"}]})")
        << true;
    QTest::newRow("byte order mark inside a string") << QByteArray(
        "{\"shapes\": [{\"name\": \"TextShape\", \"text\": \"q\\n\xEF\xBB\xBFxyz\\t\xEF\xBB\xBF\"}]}")
                                                     << true;
    QTest::newRow("nul bytes in keys of a header") << QByteArray(nulKeys, sizeof nulKeys - 1) << true;
    QTest::newRow("control characters in strings") << QByteArray(
        "{\"seq\": 3, \"k\": [\"\0001\", \"\x01\\\x02\"], \"add\": [{\"at\": 0, \"shape\": {\"text\": "
        "\"\t\", \"points\": [{\"x\": -.0, \"y\": 1.}]}}]}",
        107) << true;
}

void TestPageReader::readsWhatTheTreeReaderRead()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, read);
    PainterStorage tree;
    QCOMPARE(TreeReader::readPage(bytes, tree), read);
    const QString d = disagreement(bytes);
    QVERIFY2(d.isEmpty(), qPrintable(d));
}

void TestPageReader::mutatedPagesGetTheTreeReadersVerdict()
{
    // Saved pages broken and bent in many small ways: a byte changed, dropped or added, a piece
    // cut off, a token put in. Every one is read the same by both readers.
    const QByteArray original = savedPage();
    QVERIFY(!original.isEmpty());
    const QByteArray bytes = "{}[],:\"\\-+.eE0159 \ntfnu\x01\x7f\xC3\xA9";
    const QList<QByteArray> tokens = { "1e400", "-.5", "1.", "\\u00", "\\ud800", "tru", "[", "]", "}", "{",
        ",", "\"", "nul", "0.0", "-0", "1e-400", "\xEF\xBB\xBF", "\"k\": [1, {}],", "\\n", "\\\"" };
    QRandomGenerator random(20261207);
    int damaged = 0;
    const int runs = 4000;
    for (int run = 0; run < runs; ++run) {
        QByteArray mutant = original;
        for (int edits = 1 + random.bounded(3); edits > 0; --edits) {
            const int at = random.bounded(mutant.size() + 1);
            switch (random.bounded(5)) {
            case 0:
                if (at < mutant.size())
                    mutant[at] = bytes[random.bounded(bytes.size())];
                break;
            case 1:
                mutant.remove(at, 1 + random.bounded(3));
                break;
            case 2:
                mutant.insert(at, bytes[random.bounded(bytes.size())]);
                break;
            case 3:
                mutant.insert(at, tokens[random.bounded(tokens.size())]);
                break;
            default:
                mutant.truncate(at);
            }
        }
        PainterStorage tree;
        damaged += TreeReader::readPage(mutant, tree) ? 0 : 1;
        const QString d = disagreement(mutant);
        QVERIFY2(d.isEmpty(),
            qPrintable(
                d + QStringLiteral(" in ") + QString::fromLatin1(mutant.toPercentEncoding(" {}[],:\"-.+"))));
    }
    // Both verdicts were put to the test.
    QVERIFY(damaged > runs / 10 && damaged < runs - runs / 10);
}

void TestPageReader::journalAndPictureNumbersStayInRange_regression()
{
    // A sequence number or byte count that is no count at all converts without overflow.
    QCOMPARE(PageReader::wholeNumber(1e300), std::numeric_limits<qint64>::max());
    QCOMPARE(PageReader::wholeNumber(-1e300), std::numeric_limits<qint64>::min());
    QCOMPARE(PageReader::wholeNumber(std::nan("")), qint64(0));
    QCOMPARE(PageReader::wholeNumber(12345.9), qint64(12345));
    PageReader reader;
    const QByteArray line = R"({"journal": "j", "seq": 1e300, "bytes": -1e300})";
    const QJsonObject header = reader.readObject(padded(line), 0, line.size());
    QCOMPARE(header.value("journal").toString(), QStringLiteral("j"));
    QCOMPARE(PageReader::wholeNumber(header.value("seq").toDouble()), std::numeric_limits<qint64>::max());
}

void TestPageReader::heavyPagesOneAfterAnother()
{
    // Pages larger than ordinary, read as the page store's worker reads them, keeping what it
    // reads them with: each reads as itself, a damaged one between them included.
    auto heavy = [](int x) {
        QByteArray stroke = R"({"name": "CurveShape", "points": [)";
        for (int i = 0; i < 1000; ++i)
            stroke += QByteArray(i ? "," : "") + R"({"x": )" + QByteArray::number(x) + R"(, "y": )"
                + QByteArray::number(i) + "}";
        stroke += "]}";
        QByteArray page = R"({"shapes": [)";
        const int strokes = (65 << 20) / stroke.size() + 1;
        page.reserve(strokes * (stroke.size() + 1) + 2);
        for (int s = 0; s < strokes; ++s)
            page += (s ? "," : "") + stroke;
        return page + "]}";
    };
    const QByteArray first = heavy(7);
    const QByteArray second = heavy(9);
    PageReader::keepLargePages(true);
    for (const QByteArray& bytes :
        { first, first.left(first.size() / 2), second, QByteArray(R"({"shapes": []})"), first }) {
        PainterStorage page;
        const bool read = PageReader().readPage(padded(bytes), page);
        QCOMPARE(read, bytes.endsWith("}"));
        if (!read)
            continue;
        QCOMPARE(page.records.size(), bytes.count("CurveShape"));
        if (!page.records.isEmpty())
            QCOMPARE(page.records.last().points.value(999), QPointF(bytes == first ? 7 : 9, 999));
    }
    PageReader::keepLargePages(false);
}

QTEST_MAIN(TestPageReader)
#include "tst_pagereader.moc"
