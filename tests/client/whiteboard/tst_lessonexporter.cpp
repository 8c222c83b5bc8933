#include "shell/AppFolders.h"
#include "whiteboard/LessonExporter.h"
#include "whiteboard/PageStore.h"
#include "whiteboard/painterstorage.h"

#include "BoardTestKit.h"

#include <QApplication>
#include <QPainter>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdio>

namespace {

constexpr char kChildTarget[] = "LECTERN_EXPORT_CHILD_TARGET";
const QColor kInk("#00A9CC");
const QSize kCanvas(800, 600);

QString tool(const QString& name)
{
    const QString path = QStandardPaths::findExecutable(name);
    if (path.isEmpty())
        qFatal("%s is needed (scripts/setup.sh installs it)", qPrintable(name));
    return path;
}

QString runTool(const QString& name, const QStringList& args)
{
    QProcess process;
    process.start(tool(name), args);
    if (!process.waitForFinished(60000) || process.exitCode() != 0)
        return QStringLiteral("<failed: %1>").arg(QString::fromLocal8Bit(process.readAllStandardError()));
    return QString::fromLocal8Bit(process.readAllStandardOutput());
}

// A deck as the converter leaves it: one picture per slide, 4:3, a colour of its own.
QVector<LessonPage> makeDeck(const QString& folder, int slides, const QVector<int>& drawnOn)
{
    QVector<LessonPage> pages;
    pages.append(
        LessonPage { QStringLiteral(":/Lectern/Resources/icons/blank.png"), "deckblank.json", true });
    for (int i = 0; i < slides; ++i) {
        QImage image(1024, 768, QImage::Format_RGB32);
        image.fill(QColor::fromHsv((i * 50) % 360, 40, 250));
        QPainter painter(&image);
        painter.setFont(QFont(QStringLiteral("WenQuanYi Zen Hei"), 40));
        painter.drawText(QRect(0, 0, 1024, 200), Qt::AlignCenter, QStringLiteral("第 %1 页").arg(i + 1));
        painter.end();
        const QString path = QStringLiteral("%1/slide%2.png").arg(folder).arg(i + 1);
        image.save(path);
        const QString pageFile = QStringLiteral("deck%1.json").arg(i);
        if (drawnOn.contains(i + 1)) {
            PainterStorage file;
            ShapeRecord stroke;
            stroke.name = QStringLiteral("CurveShape");
            stroke.points = { { 100, 300 }, { 400, 300 }, { 700, 300 } };
            stroke.penColor = kInk;
            stroke.penWidth = 9;
            ShapeRecord text;
            text.name = QStringLiteral("TextShape");
            text.points = { { 100, 500 } };
            text.text = QStringLiteral("重点");
            text.fontSize = 20;
            text.penColor = Qt::black;
            text.penWidth = 1;
            file.records = { stroke, text };
            file.save(pageFile);
        }
        pages.append(LessonPage { path, pageFile, false });
    }
    return pages;
}

QColor pixelOfPage(const QString& pdf, int page, QPoint at)
{
    const QString prefix = QFileInfo(pdf).absolutePath() + QStringLiteral("/render");
    runTool("pdftoppm",
        { "-f", QString::number(page), "-l", QString::number(page), "-r", "72", "-png", "-singlefile", pdf,
            prefix });
    const QImage image(prefix + ".png");
    return image.isNull() ? QColor() : image.pixelColor(at);
}

bool near(const QColor& a, const QColor& b)
{
    return std::abs(a.red() - b.red()) < 30 && std::abs(a.green() - b.green()) < 30
        && std::abs(a.blue() - b.blue()) < 30;
}

// Runs in a private mount namespace where the target's folder is mounted read-only.
int exportIntoReadOnlyFolder()
{
    QTemporaryDir storage;
    SetAppFolders(storage.path(), storage.path());
    QString error;
    const QVector<LessonPage> pages { LessonPage { QString(), "nothing.json", false } };
    const bool ok = LessonExporter::write(pages, kCanvas, qEnvironmentVariable(kChildTarget), &error);
    std::printf("%s\n", error.toUtf8().constData());
    return ok ? 1 : 3;
}

} // namespace

class TestLessonExporter : public QObject {
    Q_OBJECT
private slots:
    void init();
    void sixSlideDeckWithTwoDrawnPagesGivesSixPagesWithTheStrokes();
    void unwritableTargetGivesAnErrorAndLeavesNothing();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestLessonExporter::init()
{
    WaitForPageFiles();
    m_dir = std::make_unique<QTemporaryDir>();
    SetAppFolders(m_dir->path(), m_dir->path());
}

void TestLessonExporter::sixSlideDeckWithTwoDrawnPagesGivesSixPagesWithTheStrokes()
{
    const QVector<LessonPage> pages = makeDeck(m_dir->path(), 6, { 2, 5 });
    const QString pdf = m_dir->filePath("课件.pdf");
    LessonExporter exporter;
    QSignalSpy progress(&exporter, &LessonExporter::progress);
    QSignalSpy finished(&exporter, &LessonExporter::finished);
    QVERIFY(exporter.start(pages, kCanvas, pdf));
    QVERIFY(finished.wait(60000));
    QCOMPARE(finished.first().at(0).toBool(), true);
    QCOMPARE(progress.last().at(0).toInt(), pages.size());

    const QString info = runTool("pdfinfo", { pdf });
    QVERIFY2(info.contains(QRegularExpression("Pages:\\s+6\\n")), qPrintable(info));
    QVERIFY2(info.contains("800 x 600 pts"), qPrintable(info));
    // Page 2 shows the stroke where it was drawn, over its slide; page 3 has no drawing.
    QVERIFY(near(pixelOfPage(pdf, 2, { 400, 300 }), kInk));
    QVERIFY(near(pixelOfPage(pdf, 5, { 650, 301 }), kInk));
    QVERIFY(!near(pixelOfPage(pdf, 3, { 400, 300 }), kInk));
    QVERIFY(near(pixelOfPage(pdf, 2, { 400, 320 }), QColor::fromHsv(50, 40, 250)));
    // Strokes and text are vector graphics: the words can be read back from the file.
    QVERIFY2(runTool("pdftotext", { "-f", "2", "-l", "2", pdf, "-" }).contains(QStringLiteral("重点")),
        "the text is text in the PDF");

    // A blank page with a drawing comes first, as in the page column.
    PainterStorage blank;
    ShapeRecord dot;
    dot.name = QStringLiteral("RectangleShape");
    dot.points = { { 10, 10 }, { 60, 60 } };
    dot.penColor = Qt::red;
    dot.penWidth = 3;
    blank.records = { dot };
    QVERIFY(blank.save("deckblank.json"));
    QString error;
    QVERIFY2(LessonExporter::write(pages, kCanvas, pdf, &error), qPrintable(error));
    QVERIFY(runTool("pdfinfo", { pdf }).contains(QRegularExpression("Pages:\\s+7\\n")));
    QVERIFY(near(pixelOfPage(pdf, 1, { 10, 35 }), Qt::red));
}

void TestLessonExporter::unwritableTargetGivesAnErrorAndLeavesNothing()
{
    // Root writes anywhere: the folder is made read-only by a bind mount in a private namespace.
    const QString folder = m_dir->filePath("handouts");
    QVERIFY(QDir().mkpath(folder));
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(kChildTarget, folder + "/课件.pdf");
    env.insert("TARGET_FOLDER", folder);
    child.setProcessEnvironment(env);
    child.start(tool("unshare"),
        { "-m", "sh", "-c",
            "mount --bind \"$TARGET_FOLDER\" \"$TARGET_FOLDER\" && mount -o remount,bind,ro "
            "\"$TARGET_FOLDER\" && exec \"$0\"",
            QCoreApplication::applicationFilePath() });
    QVERIFY(child.waitForFinished(60000));
    const QString said = QString::fromUtf8(child.readAllStandardOutput()).trimmed();
    QVERIFY2(child.exitCode() == 3,
        qPrintable(QStringLiteral("exit %1: %2 %3")
                       .arg(child.exitCode())
                       .arg(said, QString::fromLocal8Bit(child.readAllStandardError()))));
    QVERIFY2(said.startsWith(QStringLiteral("无法写入文件")), qPrintable(said));
    QVERIFY(QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden).isEmpty());
}

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    if (qEnvironmentVariableIsSet(kChildTarget))
        return exportIntoReadOnlyFolder();
    TestLessonExporter test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_lessonexporter.moc"
