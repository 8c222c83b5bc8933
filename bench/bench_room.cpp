// The room's lists: a discussion of 5,000 chat rows (time to append one row at the end, and the
// memory the rows take) and a member list of 1,000 members (time to rebuild it from an answer).
// Each append and each rebuild is followed by the event loop's layout and paint, as in the window.
#include "ProcessMemory.h"
#include "room/LiveDlg.h"
#include "shell/Resources.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QListWidget>
#include <QTabWidget>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {
int kRows = 5000; // a first argument overrides it, for profiling one half
constexpr int kBlock = 500;
constexpr int kMembers = 1000;
constexpr int kRebuilds = 10;

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

QString ChatText(int i)
{
    // Mixed lengths: short replies, sentences, and now and then a long unbroken link.
    switch (i % 4) {
    case 0:
        return QStringLiteral("好的");
    case 1:
        return QStringLiteral("老师，第%1题的第二步为什么要先求导再代入？").arg(i);
    case 2:
        return QStringLiteral("https://example.invalid/notes/%1/").arg(i) + QString(60, QLatin1Char('x'));
    default:
        return QStringLiteral("明白了 thanks, 下一页可以讲慢一点吗 %1").arg(i);
    }
}
} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    if (argc > 1)
        kRows = std::max(kBlock, QByteArray(argv[1]).toInt());
    LecternInitResources();

    LiveDlg dlg;
    dlg.resize(1366, 768);
    dlg.show();
    QApplication::processEvents();
    auto* msgs = dlg.findChild<QListWidget*>(QStringLiteral("msgListWidget"));
    auto* memberList = dlg.findChild<QListWidget*>(QStringLiteral("memberListWidget"));
    auto* tabs = dlg.findChild<QTabWidget*>(QStringLiteral("tabWidget"));

    const long rssBefore = RssKb();
    std::vector<double> blockMs;
    std::vector<double> tailMs;
    double worstMs = 0;
    QElapsedTimer total;
    total.start();
    for (int i = 0; i < kRows; ++i) {
        QElapsedTimer one;
        one.start();
        dlg.AddMessage(QStringLiteral("学生%1").arg(i % 37), ChatText(i), true);
        QApplication::processEvents();
        // Outside exec() released widgets wait for this; the window's event loop does it by itself.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        const double ms = one.nsecsElapsed() / 1e6;
        worstMs = std::max(worstMs, ms);
        if (i >= kRows - 100)
            tailMs.push_back(ms);
        if ((i + 1) % kBlock == 0) {
            blockMs.push_back(total.nsecsElapsed() / 1e6);
            total.restart();
        }
    }
    const long rssAfter = RssKb();

    std::printf("discussion: %d chat rows appended, list count %d\n", kRows, msgs->count());
    for (size_t b = 0; b < blockMs.size(); ++b)
        std::printf(
            "  rows %5zu-%5zu: %.3f ms per row\n", b * kBlock + 1, (b + 1) * kBlock, blockMs[b] / kBlock);
    std::printf("  last 100 rows: median %.3f ms, worst %.3f ms per row (target < 5 ms)\n", Median(tailMs),
        *std::max_element(tailMs.begin(), tailMs.end()));
    std::printf("  worst single row over the run: %.3f ms\n", worstMs);
    std::printf("  memory: %ld KB for %d rows, %.1f KB per row\n", rssAfter - rssBefore, kRows,
        double(rssAfter - rssBefore) / kRows);

    QVariantList members;
    for (int i = 0; i < kMembers; ++i) {
        members << QVariantMap { { "userId", QStringLiteral("stu%1").arg(i) },
            { "nickname", QStringLiteral("学生%1号").arg(i) }, { "role", i == 0 ? "t" : "s" },
            { "status", i == 7 ? "1" : "0" } };
    }
    tabs->setCurrentIndex(1); // the teacher looks at the members
    QApplication::processEvents();
    std::vector<double> rebuildMs;
    for (int r = 0; r < kRebuilds; ++r) {
        QElapsedTimer t;
        t.start();
        dlg.SetMembers(members);
        QApplication::processEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        rebuildMs.push_back(t.nsecsElapsed() / 1e6);
    }
    std::printf(
        "members: %d rows rebuilt %d times, median %.1f ms, worst %.1f ms (target < 200 ms); tab \"%s\"\n",
        memberList->count(), kRebuilds, Median(rebuildMs),
        *std::max_element(rebuildMs.begin(), rebuildMs.end()), qPrintable(tabs->tabText(1)));
    return 0;
}
