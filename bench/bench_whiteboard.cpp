// Whiteboard at 1920 x 1080: the paint cost of a pen move on a busy page, a full repaint, and
// saving and loading the page file, for pages of 200, 2,000 and 20,000 strokes of 100 points.
#include "whiteboard/PaintSettings.h"
#include "shell/AppFolders.h"
#include "whiteboard/painterstorage.h"
#include "whiteboard/renderarea.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QMouseEvent>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

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

} // namespace

int main(int argc, char** argv)
{
    qputenv(
        "QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    QTemporaryDir dir;
    SetAppFolders(dir.path(), dir.path());

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
        loads.push_back(msSince(timer));
        for (int i = 0; i < 2; ++i) {
            timer.restart();
            area.load();
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
    std::printf(
        "move ms: pen move event + the repaint it causes (median of 200), target <= 4 ms\n"
        "move full ms: whole-widget repaint while the stroke is drawn (layer + live stroke)\n"
        "repaint ms: whole-widget repaint with every shape painted (no layer)\n"
        "drag ms: one move of the bottom stroke with the move tool (median of 40; -1: no free grip)\n"
        "save/load ms: page file written / read and rebuilt into shapes (median of 3), target <= 250 ms\n");
    return 0;
}
