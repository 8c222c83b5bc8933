// Whiteboard at 1920 x 1080: the paint cost of a pen move on a busy page, a full repaint, and
// saving and loading the page file, for pages of 200, 2,000 and 20,000 strokes of 100 points;
// then what the GUI thread waits for with background saves and reads, undo on a busy page, and
// the export of a 40-slide lesson.
#include "ProcessMemory.h"

#include "client/whiteboard/TreeReader.h"
#include "whiteboard/PageReader.h"

#include "whiteboard/LessonExporter.h"
#include "whiteboard/PageStore.h"
#include "whiteboard/PaintSettings.h"
#include "shell/AppFolders.h"
#include "whiteboard/painterstorage.h"
#include "whiteboard/renderarea.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QMouseEvent>
#include <QPainter>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <malloc.h>
#include <vector>

#define XXH_INLINE_ALL
#include <xxhash.h>

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr int kPointsPerStroke = 100;

ShapeList makePage(int strokes)
{
    QRandomGenerator random(42);
    ShapeList page;
    for (int s = 0; s < strokes; ++s) {
        auto stroke = std::make_shared<CurveShape>();
        stroke->setPen(QPen(QColor(PaintPalette()[s % PaintPalette().size()]), 1 + 2 * (s % 3)));
        QPointF p(random.bounded(kWidth), random.bounded(kHeight));
        for (int i = 0; i < kPointsPerStroke; ++i) {
            p += QPointF(random.bounded(9) - 4, random.bounded(9) - 4);
            stroke->addPoint(p);
        }
        page.append(stroke);
    }
    return page;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void send(QWidget* w, QEvent::Type type, QPoint p, Qt::MouseButton button, Qt::MouseButtons buttons)
{
    QMouseEvent event(type, p, w->mapToGlobal(p), button, buttons, Qt::NoModifier);
    QApplication::sendEvent(w, &event);
}

double msSince(const QElapsedTimer& timer)
{
    return timer.nsecsElapsed() / 1e6;
}

// Runs the event loop until the surface has shown its page.
void waitLoaded(RenderArea& area)
{
    if (!area.isLoading())
        return;
    QEventLoop loop;
    QObject::connect(&area, &RenderArea::pageLoaded, &loop, &QEventLoop::quit);
    loop.exec();
}

qint64 threadCpuNs()
{
    timespec now {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// CPU time of every thread of the process. Less the GUI thread's (which spins in the loop that
// times the switch), what a page switch costs off the GUI thread, whatever the machine's load.
qint64 processCpuNs()
{
    timespec now {};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}

struct Blocks {
    // Wall time between two turns of the event loop: what the teacher sees, including the time
    // the GUI thread waited for a core on a busy machine.
    double wallMs = 0;
    // CPU time the GUI thread spent between two turns: the work the code under test did there.
    double cpuMs = 0;
};

// The longest the GUI thread went without turning its event loop while `until` is false: a
// timer asks every millisecond, the gaps between its calls are the blocks.
template <typename Until> Blocks longestBlocks(Until until, int timeoutMs = 180000)
{
    QElapsedTimer clock;
    clock.start();
    qint64 last = clock.nsecsElapsed();
    qint64 lastCpu = threadCpuNs();
    Blocks longest;
    auto gap = [&] {
        const qint64 now = clock.nsecsElapsed();
        const qint64 cpu = threadCpuNs();
        longest.wallMs = std::max(longest.wallMs, (now - last) / 1e6);
        longest.cpuMs = std::max(longest.cpuMs, (cpu - lastCpu) / 1e6);
        last = now;
        lastCpu = cpu;
    };
    QTimer tick;
    tick.setInterval(1);
    QObject::connect(&tick, &QTimer::timeout, gap);
    tick.start();
    while (!until() && clock.elapsed() < timeoutMs)
        QApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
    QApplication::processEvents();
    gap();
    return longest;
}

void savePage(const QString& name, const ShapeList& page)
{
    PainterStorage out;
    out.setShapes(page);
    out.save(name);
}

qint64 peakRssKb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// Resets the process's peak resident size to what it holds now (Linux 4.0 on); false elsewhere.
bool resetPeakRss()
{
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    return clear.open(QIODevice::WriteOnly) && clear.write("5") == 1;
}

struct ReadFigures {
    // The first read, then the median of three more.
    double firstMbPerSecond = 0;
    double mbPerSecond = 0;
    // Per second of the reading thread's own CPU time: what the read costs on a shared machine.
    double mbPerCpuSecond = 0;
    double peakMb = -1;
};

// The read of a page file alone: its bytes loaded and parsed into shapes, nothing else, once and
// then three times more (as a page switched back to), and the most memory the first read held
// above what was there before.
template <typename Read> ReadFigures readFigures(const QString& name, Read read)
{
    const QString path = PainterStorage::storagePath() + QLatin1Char('/') + name;
    const double mb = QFileInfo(path).size() / 1e6;
    std::vector<double> runs;
    std::vector<double> cpuRuns;
    ReadFigures figures;
    for (int i = 0; i < 4; ++i) {
        // Memory freed before (the page just written) is handed back first, so that the read
        // cannot hide in it.
        malloc_trim(0);
        const bool peak = i == 0 && resetPeakRss();
        const qint64 before = RssKb();
        QElapsedTimer timer;
        timer.start();
        const qint64 cpu = threadCpuNs();
        ShapeList shapes = read(path);
        const double cpuMs = (threadCpuNs() - cpu) / 1e6;
        const double ms = msSince(timer);
        if (i == 0) {
            figures.firstMbPerSecond = mb / (ms / 1000.0);
        } else {
            runs.push_back(ms);
            cpuRuns.push_back(cpuMs);
        }
        if (peak)
            figures.peakMb = (peakRssKb() - before) / 1024.0;
        if (shapes.isEmpty()) {
            std::fprintf(stderr, "read of %s gave no shapes\n", qPrintable(name));
            std::exit(1);
        }
    }
    figures.mbPerSecond = mb / (median(runs) / 1000.0);
    figures.mbPerCpuSecond = mb / (median(cpuRuns) / 1000.0);
    return figures;
}

// The digest a saved picture is keyed by, over the mapped page file as the picture's reader
// takes it (median of three).
double digestMs(const QString& name)
{
    QFile file(PainterStorage::storagePath() + QLatin1Char('/') + name);
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    std::vector<double> runs;
    for (int i = 0; i < 3; ++i) {
        QElapsedTimer timer;
        timer.start();
        uchar* data = file.map(0, file.size());
        const XXH128_hash_t hash = XXH3_128bits(data, size_t(file.size()));
        file.unmap(data);
        runs.push_back(msSince(timer));
        static volatile quint64 kept;
        kept = kept ^ hash.low64;
    }
    return median(runs);
}

void readFigures()
{
    std::printf("\n%-8s %10s %28s %18s %28s %18s %10s\n", "strokes", "file MB", "page reader MB/s",
        "page reader peak", "tree reader MB/s", "tree reader peak", "digest ms");
    // As the page store's worker reads the page in view; the first read comes after a light page.
    PageReader::keepLargePages(true);
    for (int strokes : { 2000, 20000 }) {
        const QString name = QStringLiteral("read%1.json").arg(strokes);
        savePage(name, makePage(strokes));
        const double mb = QFileInfo(PainterStorage::storagePath() + QLatin1Char('/') + name).size() / 1e6;
        PageBytes light;
        PainterStorage lightPage;
        if (!light.assign("{}", 2) || !PageReader().readPage(light, lightPage))
            std::exit(1);
        const ReadFigures page = readFigures(name, [](const QString& path) {
            QFile in(path);
            PageBytes bytes;
            PainterStorage storage;
            if (!in.open(QIODevice::ReadOnly) || !bytes.read(in) || !storage.parse(bytes, path))
                return ShapeList();
            return storage.getGeneralShape();
        });
        const ReadFigures tree = readFigures(name, [](const QString& path) {
            QFile in(path);
            PainterStorage storage;
            if (!in.open(QIODevice::ReadOnly) || !TreeReader::readPage(in.readAll(), storage))
                return ShapeList();
            return storage.getGeneralShape();
        });
        char pagePeak[32];
        std::snprintf(pagePeak, sizeof pagePeak, "%.0f MB (%.2fx)", page.peakMb, page.peakMb / mb);
        char treePeak[32];
        std::snprintf(treePeak, sizeof treePeak, "%.0f MB (%.2fx)", tree.peakMb, tree.peakMb / mb);
        char pageRate[32];
        std::snprintf(pageRate, sizeof pageRate, "%.0f / %.0f / %.0f cpu", page.firstMbPerSecond,
            page.mbPerSecond, page.mbPerCpuSecond);
        char treeRate[32];
        std::snprintf(treeRate, sizeof treeRate, "%.0f / %.0f / %.0f cpu", tree.firstMbPerSecond,
            tree.mbPerSecond, tree.mbPerCpuSecond);
        std::printf("%-8d %10.1f %28s %18s %28s %18s %10.1f\n", strokes, mb, pageRate, pagePeak, treeRate,
            treePeak, digestMs(name));
        std::fflush(stdout);
        QFile::remove(PainterStorage::storagePath() + QLatin1Char('/') + name);
    }
    std::printf(
        "page reader MB/s: a page file loaded and parsed into shapes: the first read (after a light "
        "page), then the median of three more (the page switched back to), and per second of CPU; "
        "target >= 400 MB/s\n"
        "peak: the most memory the first read held above what was there before, and that over the file's "
        "size, target <= 2x at 20,000 strokes\n"
        "tree reader: the reader page files had before (the whole document as a JSON tree first)\n"
        "digest ms: the digest a saved picture is keyed by, over the mapped page file (cache warm)\n");
}

void backgroundFigures()
{
    std::printf("\n%-8s %12s %16s %12s %18s %16s %14s %12s\n", "strokes", "save blk ms", "switch blk ms",
        "shown ms", "editable ms", "move+save ms", "undo ms", "stroke blk");
    for (int strokes : { 2000, 20000 }) {
        const ShapeList page = makePage(strokes);
        savePage(QStringLiteral("a%1.json").arg(strokes), page);
        savePage(QStringLiteral("b%1.json").arg(strokes), page);
        RenderArea area;
        area.resize(kWidth, kHeight);
        area.show();
        QApplication::processEvents();
        // The page switched to was last saved by the surface, as every page the teacher drew on
        // is: its picture lies beside it.
        area.setFileName(QStringLiteral("b%1.json").arg(strokes));
        waitLoaded(area);
        area.repaint();
        area.saveDrawing();
        PageStore::instance()->flush();
        if (!QFile::exists(PageStore::picturePath(QStringLiteral("b%1.json").arg(strokes)))) {
            std::fprintf(stderr, "no picture written beside the page\n");
            std::exit(1);
        }
        area.setFileName(QStringLiteral("a%1.json").arg(strokes));
        waitLoaded(area);
        area.repaint();

        // Handing a snapshot of the page to the writer.
        QElapsedTimer timer;
        std::vector<double> saves;
        for (int i = 0; i < 5; ++i) {
            timer.restart();
            area.saveDrawing();
            saves.push_back(msSince(timer));
        }
        PageStore::instance()->flush();

        // A finished stroke: the journal entry, the snapshot, the repaint.
        area.setInstrumentType(Pen);
        std::vector<double> finishes;
        for (int i = 0; i < 5; ++i) {
            send(&area, QEvent::MouseButtonPress, QPoint(100, 100 + i), Qt::LeftButton, Qt::LeftButton);
            send(&area, QEvent::MouseMove, QPoint(300, 200 + i), Qt::NoButton, Qt::LeftButton);
            timer.restart();
            send(&area, QEvent::MouseButtonRelease, QPoint(300, 200 + i), Qt::LeftButton, Qt::NoButton);
            area.repaint();
            finishes.push_back(msSince(timer));
        }

        // Pen moves while the page is written.
        area.saveDrawing();
        QPoint p(500, 500);
        send(&area, QEvent::MouseButtonPress, p, Qt::LeftButton, Qt::LeftButton);
        std::vector<double> moves;
        for (int i = 0; i < 200; ++i) {
            p += QPoint(3, (i % 20) < 10 ? 2 : -2);
            timer.restart();
            send(&area, QEvent::MouseMove, p, Qt::NoButton, Qt::LeftButton);
            QApplication::processEvents();
            moves.push_back(msSince(timer));
        }
        send(&area, QEvent::MouseButtonRelease, p, Qt::LeftButton, Qt::NoButton);
        PageStore::instance()->flush();
        QApplication::processEvents();
        area.repaint();

        // Undo of the last stroke until repainted.
        timer.restart();
        const qint64 undoCpu = threadCpuNs();
        area.undo();
        area.repaint();
        const double undoMs = msSince(timer);
        const double undoCpuMs = (threadCpuNs() - undoCpu) / 1e6;
        // The snapshot the undo asked for is written before the switch is timed.
        QApplication::processEvents();
        PageStore::instance()->flush();

        // Switching to the other page and back, three times: the longest block until its shapes
        // are read, when its drawing is first on screen (the repaint after pageShown has
        // returned), and when it is editable (the repaint after pageLoaded has returned).
        const QString other = QStringLiteral("b%1.json").arg(strokes);
        struct Switch {
            Blocks block;
            double shownMs = -1;
            double editableMs = -1;
            double editableCpuMs = -1;
        };
        auto timedSwitch = [&](const QString& to) {
            Switch s;
            timer.restart();
            const qint64 switchCpu = processCpuNs() - threadCpuNs();
            QMetaObject::Connection shownDone = QObject::connect(&area, &RenderArea::pageShown, [&] {
                area.repaint();
                s.shownMs = msSince(timer);
            });
            QMetaObject::Connection loadedDone = QObject::connect(&area, &RenderArea::pageLoaded, [&] {
                area.repaint();
                s.editableMs = msSince(timer);
                s.editableCpuMs = (processCpuNs() - threadCpuNs() - switchCpu) / 1e6;
            });
            s.block = longestBlocks([&] {
                if (area.fileName() != to)
                    area.setFileName(to);
                return s.editableMs >= 0 && s.shownMs >= 0;
            });
            QObject::disconnect(shownDone);
            QObject::disconnect(loadedDone);
            // The page drawn on holds the strokes drawn above too.
            if (to == other && area.shapes().size() != strokes) {
                std::fprintf(
                    stderr, "switched page shows %d of %d strokes\n", int(area.shapes().size()), strokes);
                std::exit(1);
            }
            return s;
        };
        std::vector<Switch> switches;
        for (const QString& to : { other, QStringLiteral("a%1.json").arg(strokes), other })
            switches.push_back(timedSwitch(to));
        auto medianOf = [&switches](double Switch::*figure) {
            std::vector<double> values;
            for (const Switch& s : switches)
                values.push_back(s.*figure);
            return median(values);
        };
        const double shownMs = medianOf(&Switch::shownMs);
        const double editableMs = medianOf(&Switch::editableMs);
        const double editableCpuMs = medianOf(&Switch::editableCpuMs);
        Blocks block;
        for (const Switch& s : switches) {
            block.wallMs = std::max(block.wallMs, s.block.wallMs);
            block.cpuMs = std::max(block.cpuMs, s.block.cpuMs);
        }
        // What was shown first is the drawing the shapes give, pixel for pixel (untimed).
        area.setFileName(QStringLiteral("a%1.json").arg(strokes));
        waitLoaded(area);
        QImage first;
        QMetaObject::Connection grabFirst
            = QObject::connect(&area, &RenderArea::pageShown, [&] { first = area.grab().toImage(); });
        area.setFileName(other);
        waitLoaded(area);
        QObject::disconnect(grabFirst);
        if (!area.isLoading() && first != area.grab().toImage()) {
            std::fprintf(stderr, "the page's picture differs from its shapes\n");
            std::exit(1);
        }
        char moveFigures[32];
        std::snprintf(moveFigures, sizeof moveFigures, "%.3f / %.2f", median(moves),
            *std::max_element(moves.begin(), moves.end()));
        char undoFigures[32];
        std::snprintf(undoFigures, sizeof undoFigures, "%.2f / %.2f", undoMs, undoCpuMs);
        char blockFigures[32];
        std::snprintf(blockFigures, sizeof blockFigures, "%.2f / %.2f", block.wallMs, block.cpuMs);
        char editableFigures[32];
        std::snprintf(editableFigures, sizeof editableFigures, "%.1f / %.1f", editableMs, editableCpuMs);
        std::printf("%-8d %12.2f %16s %12.1f %18s %16s %14s %12.2f\n", strokes,
            *std::max_element(saves.begin(), saves.end()), blockFigures, shownMs, editableFigures,
            moveFigures, undoFigures, median(finishes));
        std::fflush(stdout);
        PageStore::instance()->flush();
    }
    std::printf(
        "save blk: longest GUI-thread time to hand a page to the background writer, target <= 16 ms\n"
        "switch blk ms: longest GUI-thread block from a page switch until the new page is editable, "
        "wall / GUI-thread CPU, target <= 16 ms\n"
        "shown ms: page switch until the new page's drawing (its saved picture) has been painted, "
        "targets 150 ms / 600 ms\n"
        "editable ms: page switch until its shapes are read and painted (as shown ms without a "
        "picture), wall / CPU of the threads other than the GUI thread, targets 100 ms / 800 ms\n"
        "switch, shown and editable: the longest block, the medians of three switches between two pages\n"
        "move+save ms: median / slowest of 200 pen moves while the page is written, target <= 4 ms\n"
        "undo ms: undo of the last stroke and a repaint of the whole surface, wall / GUI-thread "
        "CPU, target <= 16 ms\n"
        "stroke blk: release of a stroke (journal, snapshot, repaint), median of 5\n");
}

void exportFigures(const QString& folder)
{
    // 40 slides of 1280 x 720, each with 50 strokes of 100 points and a line of text.
    QVector<LessonPage> lesson;
    for (int i = 0; i < 40; ++i) {
        QImage slide(1280, 720, QImage::Format_RGB32);
        slide.fill(QColor::fromHsv((i * 37) % 360, 60, 240));
        QPainter painter(&slide);
        painter.setFont(QFont(QStringLiteral("WenQuanYi Zen Hei"), 48));
        painter.drawText(slide.rect(), Qt::AlignCenter, QStringLiteral("第 %1 页").arg(i + 1));
        painter.end();
        const QString image = QStringLiteral("%1/slide%2.png").arg(folder).arg(i);
        slide.save(image);
        ShapeList drawing = makePage(50);
        auto words = GeneralShape::create(QStringLiteral("TextShape"));
        words->addPoint(QPointF(100, 600));
        words->setTextContent(QStringLiteral("板书 %1").arg(i + 1), 20);
        drawing.append(words);
        const QString pageFile = QStringLiteral("lesson%1.json").arg(i);
        savePage(pageFile, drawing);
        lesson.append(LessonPage { image, pageFile, false });
    }
    const qint64 before = RssKb();
    QElapsedTimer timer;
    timer.start();
    QString error;
    const bool ok = LessonExporter::write(
        lesson, QSize(kWidth, kHeight), folder + QStringLiteral("/lesson.pdf"), &error);
    const double ms = msSince(timer);
    if (!ok) {
        std::fprintf(stderr, "export failed: %s\n", qPrintable(error));
        std::exit(1);
    }
    std::printf(
        "\nexport of 40 slides with drawings: %.0f ms, peak RSS %.1f MB (%.1f MB before), PDF %.1f MB\n", ms,
        peakRssKb() / 1024.0, before / 1024.0,
        QFileInfo(folder + QStringLiteral("/lesson.pdf")).size() / 1e6);
}

} // namespace

int main(int argc, char** argv)
{
    qputenv(
        "QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    QTemporaryDir dir;
    SetAppFolders(dir.path(), dir.path());
    // "background" runs only the figures of background saves, page switches and undo.
    if (app.arguments().contains(QStringLiteral("background"))) {
        backgroundFigures();
        return 0;
    }
    // "read" only the figures of reading page files.
    if (app.arguments().contains(QStringLiteral("read"))) {
        readFigures();
        return 0;
    }
    // First, while the process is small: its peak is the export's own.
    exportFigures(dir.path());

    std::printf("%-8s %14s %14s %14s %14s %12s %12s %12s %10s\n", "strokes", "move ms", "move full ms",
        "repaint ms", "repaint cached", "drag ms", "save ms", "load ms", "file MB");
    for (int strokes : { 200, 2000, 20000 }) {
        const QString name = QStringLiteral("bench%1.json").arg(strokes);
        const ShapeList page = makePage(strokes);

        // Median of three: the machine is shared, and one run is easily disturbed.
        QElapsedTimer timer;
        std::vector<double> saves;
        for (int i = 0; i < 3; ++i) {
            timer.restart();
            PainterStorage out;
            out.setShapes(page);
            out.save(name);
            saves.push_back(msSince(timer));
        }
        const double saveMs = median(saves);
        const double fileMb = QFileInfo(PainterStorage::storagePath() + "/" + name).size() / 1e6;

        RenderArea area;
        area.resize(kWidth, kHeight);
        area.show();
        QApplication::processEvents();
        std::vector<double> loads;
        timer.restart();
        area.setFileName(name);
        waitLoaded(area);
        loads.push_back(msSince(timer));
        for (int i = 0; i < 2; ++i) {
            timer.restart();
            area.load();
            waitLoaded(area);
            loads.push_back(msSince(timer));
        }
        const double loadMs = median(loads);
        if (area.shapes().size() != strokes) {
            std::fprintf(stderr, "loaded %d of %d strokes\n", int(area.shapes().size()), strokes);
            return 1;
        }

        // (b) every shape painted, as without the layer.
        area.setLayerCacheEnabled(false);
        std::vector<double> full;
        for (int i = 0; i < 3; ++i) {
            timer.restart();
            area.repaint();
            full.push_back(msSince(timer));
        }
        area.setLayerCacheEnabled(true);
        area.repaint();
        std::vector<double> cachedFull;
        for (int i = 0; i < 5; ++i) {
            timer.restart();
            area.repaint();
            cachedFull.push_back(msSince(timer));
        }

        // (a) one pen move while a new stroke is drawn: the event and the repaint it causes.
        area.setInstrumentType(Pen);
        QPoint p(300, 300);
        send(&area, QEvent::MouseButtonPress, p, Qt::LeftButton, Qt::LeftButton);
        QApplication::processEvents();
        std::vector<double> moves;
        std::vector<double> movesFull;
        for (int i = 0; i < 200; ++i) {
            p += QPoint(4 + i % 3, (i % 20) < 10 ? 3 : -3);
            timer.restart();
            send(&area, QEvent::MouseMove, p, Qt::NoButton, Qt::LeftButton);
            QApplication::processEvents();
            moves.push_back(msSince(timer));
            if (i % 10 == 0) {
                timer.restart();
                area.repaint();
                movesFull.push_back(msSince(timer));
            }
        }
        send(&area, QEvent::MouseButtonRelease, p, Qt::LeftButton, Qt::NoButton);

        // (d) the bottom stroke dragged with the move tool under everything drawn after it.
        std::vector<double> drags;
        const ShapeList& drawn = area.shapes();
        QPoint grip(-1, -1);
        for (const QPointF& candidate : drawn[0]->points()) {
            bool free = candidate.x() >= 0 && candidate.y() >= 0 && candidate.x() < kWidth
                && candidate.y() < kHeight;
            for (int i = 1; free && i < drawn.size(); ++i)
                free = drawn[i]->distanceTo(candidate) >= 5;
            if (free) {
                grip = candidate.toPoint();
                break;
            }
        }
        if (grip.x() >= 0) {
            area.setInstrumentType(Move);
            send(&area, QEvent::MouseButtonPress, grip, Qt::LeftButton, Qt::LeftButton);
            QApplication::processEvents();
            for (int i = 1; i <= 40; ++i) {
                timer.restart();
                send(&area, QEvent::MouseMove, grip + QPoint(i * 3, i * 2), Qt::NoButton, Qt::LeftButton);
                QApplication::processEvents();
                drags.push_back(msSince(timer));
            }
            send(&area, QEvent::MouseButtonRelease, grip + QPoint(120, 80), Qt::LeftButton, Qt::NoButton);
        }
        const double dragMs = drags.empty() ? -1 : median(drags);

        std::printf("%-8d %14.3f %14.3f %14.2f %14.3f %12.3f %12.1f %12.1f %10.2f\n", strokes, median(moves),
            median(movesFull), median(full), median(cachedFull), dragMs, saveMs, loadMs, fileMb);
        std::fflush(stdout);
    }
    std::printf("move ms: pen move event + the repaint it causes (median of 200), target <= 4 ms\n"
                "move full ms: whole-widget repaint while the stroke is drawn (layer + live stroke)\n"
                "repaint ms: whole-widget repaint with every shape painted (no layer)\n"
                "drag ms: one move of the bottom stroke with the move tool (median of 40; -1: no free grip)\n"
                "save/load ms: page file written / read, rebuilt into shapes and painted (median of 3), off "
                "the GUI thread\n");
    readFigures();
    backgroundFigures();
    return 0;
}
