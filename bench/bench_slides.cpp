// Slide conversion: time from OpenFile to the first and to the last NewSlides, against the office
// suite's own PDF export followed by pdftoppm on the same deck, in the same run, warm profiles.
// Targets: first page <= 1.2 x the pipeline's first page; whole deck <= 0.8 x the pipeline.
#include "slides/PowerPointTool.h"
#include "shell/AppFolders.h"

#include "shell/Process.h"

#include "../tools/deckgen/DeckWriter.h"
#include "OfficeProfile.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cstdio>

namespace {

constexpr int kRuns = 3;

struct Timing {
    double firstMs = -1;
    double lastMs = -1;
};

double median(QVector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.isEmpty() ? -1 : values.at(values.size() / 2);
}

// One conversion through the tool; waits until its suite has ended, so runs do not overlap.
Timing convertWithTool(PowerPointTool* tool, const QString& app, const QString& deck, int slides)
{
    Timing timing;
    int seen = 0;
    QEventLoop loop;
    QElapsedTimer clock;
    const auto onSlide = QObject::connect(tool, &PowerPointTool::NewSlides, &loop, [&](const QString&) {
        ++seen;
        if (seen == 1)
            timing.firstMs = clock.nsecsElapsed() / 1e6;
        if (seen == slides) {
            timing.lastMs = clock.nsecsElapsed() / 1e6;
            loop.quit();
        }
    });
    const auto onFail = QObject::connect(tool, &PowerPointTool::OpenFail, &loop, &QEventLoop::quit);
    QTimer::singleShot(120000, &loop, &QEventLoop::quit);
    clock.start();
    tool->OpenFile(deck);
    loop.exec();
    QObject::disconnect(onSlide);
    QObject::disconnect(onFail);
    QElapsedTimer ending;
    ending.start();
    while (
        IsProcessRunning(QStringLiteral("soffice.bin"), OfficeProfileMarker(app)) && ending.elapsed() < 20000)
        QThread::msleep(20);
    return timing;
}

// soffice --convert-to pdf, then pdftoppm -png at the same width; the first page counts when
// pdftoppm's first file appears.
Timing convertWithPdfPipeline(const QString& profile, const QString& deck, const QString& work)
{
    Timing timing;
    QDir(work).removeRecursively();
    QDir().mkpath(work);
    QElapsedTimer clock;
    clock.start();
    QProcess office;
    office.start(QStringLiteral("soffice"),
        { QStringLiteral("-env:UserInstallation=")
                + QUrl::fromLocalFile(profile).toString(QUrl::FullyEncoded),
            QStringLiteral("--headless"), QStringLiteral("--convert-to"), QStringLiteral("pdf"),
            QStringLiteral("--outdir"), work, deck });
    if (!office.waitForFinished(120000) || office.exitCode() != 0)
        return timing;
    const QString pdf = work + "/" + QFileInfo(deck).completeBaseName() + ".pdf";
    QProcess pages;
    pages.start(QStringLiteral("pdftoppm"),
        { QStringLiteral("-png"), QStringLiteral("-scale-to-x"), QStringLiteral("1280"),
            QStringLiteral("-scale-to-y"), QStringLiteral("-1"), pdf, work + "/page" });
    QDir images(work, QStringLiteral("page*.png"));
    while (!pages.waitForFinished(2)) {
        if (timing.firstMs < 0) {
            images.refresh();
            if (images.count() > 0)
                timing.firstMs = clock.nsecsElapsed() / 1e6;
        }
        if (pages.state() == QProcess::NotRunning)
            break;
    }
    timing.lastMs = clock.nsecsElapsed() / 1e6;
    if (timing.firstMs < 0)
        timing.firstMs = timing.lastMs;
    return timing;
}

} // namespace

// The converter's step-by-step log would bury the figures.
void quietDebug(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (type != QtDebugMsg)
        std::fprintf(stderr, "%s\n", qPrintable(message));
}

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    qInstallMessageHandler(quietDebug);
    QTemporaryDir root;
    const QString appFolder = root.filePath("app");
    if (!root.isValid()
        || !InstallOfficeProfile(appFolder, QStringLiteral(LECTERN_BIN_DIR) + kOfficeProfileFolder)) {
        std::fprintf(stderr, "bench_slides: cannot copy the office profile from %s\n", LECTERN_BIN_DIR);
        return 1;
    }
    PowerPointTool* tool = PowerPointTool::GetInstance();
    SetAppFolders(appFolder, appFolder);
    const QString pipelineProfile = root.filePath("pdf-profile");

    std::printf("%-22s %10s %10s %10s %10s %8s %8s\n", "deck", "first ms", "pdf first", "last ms", "pdf last",
        "first x", "last x");
    int status = 0;
    for (int slides : { 10, 40 }) {
        const QString folder = root.filePath(QStringLiteral("deck%1").arg(slides));
        QDir().mkpath(folder);
        const QString deck = folder + QStringLiteral("/deck%1.pptx").arg(slides);
        QString error;
        if (!deckgen::writeDeck(deck, slides, root.filePath("deckgen-profile"), &error)) {
            std::fprintf(stderr, "bench_slides: %s\n", qPrintable(error));
            return 1;
        }
        // Warm both profiles once; the figures are for a suite that has run before.
        convertWithTool(tool, appFolder, deck, slides);
        convertWithPdfPipeline(pipelineProfile, deck, root.filePath("pdf"));

        QVector<double> first, last, pdfFirst, pdfLast;
        for (int run = 0; run < kRuns; ++run) {
            const Timing ours = convertWithTool(tool, appFolder, deck, slides);
            const Timing theirs = convertWithPdfPipeline(pipelineProfile, deck, root.filePath("pdf"));
            if (ours.lastMs < 0 || theirs.lastMs < 0) {
                std::fprintf(stderr, "bench_slides: a conversion of %d slides failed\n", slides);
                return 1;
            }
            first << ours.firstMs;
            last << ours.lastMs;
            pdfFirst << theirs.firstMs;
            pdfLast << theirs.lastMs;
        }
        const double firstRatio = median(first) / median(pdfFirst);
        const double lastRatio = median(last) / median(pdfLast);
        std::printf("%-22s %10.0f %10.0f %10.0f %10.0f %8.2f %8.2f\n",
            qPrintable(QStringLiteral("%1 slides (.pptx)").arg(slides)), median(first), median(pdfFirst),
            median(last), median(pdfLast), firstRatio, lastRatio);
        if (firstRatio > 1.2 || lastRatio > 0.8) {
            std::printf("  target missed: first <= 1.20 x, last <= 0.80 x the PDF pipeline\n");
            status = 1;
        }
    }
    std::printf("median of %d warm runs each; targets: first <= 1.20 x, last <= 0.80 x\n", kRuns);
    return status;
}
