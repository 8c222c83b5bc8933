#include "room/PageItem.h"

#include "ui_PageItem.h"

#include <QApplication>
#include <QPainter>
#include <QTemporaryDir>
#include <QtTest>

class TestPageItem : public QObject {
    Q_OBJECT
private slots:
    void thumbnailIsShrunkSmoothly_regression();
};

void TestPageItem::thumbnailIsShrunkSmoothly_regression()
{
    // Thin strokes, as in a slide's text: shrunk six times, they must blend into grey, not be
    // sampled away to black or white.
    QTemporaryDir dir;
    QImage slide(1020, 765, QImage::Format_RGB32);
    slide.fill(Qt::white);
    QPainter painter(&slide);
    painter.setPen(QPen(Qt::black, 1));
    for (int x = 0; x < slide.width(); x += 2)
        painter.drawLine(x, 0, x, slide.height());
    painter.end();
    const QString path = dir.filePath("slide.png");
    QVERIFY(slide.save(path));

    PageItem item;
    item.SetImage(path, 200);
    const QImage thumbnail = item.form()->imageLabel->pixmap(Qt::ReturnByValue).toImage();
    QCOMPARE(thumbnail.height(), 127);
    int blended = 0;
    for (int y = 0; y < thumbnail.height(); ++y) {
        for (int x = 0; x < thumbnail.width(); ++x) {
            const int grey = qGray(thumbnail.pixel(x, y));
            blended += grey > 60 && grey < 200;
        }
    }
    QVERIFY2(blended > thumbnail.width() * thumbnail.height() * 9 / 10,
        qPrintable(QStringLiteral("%1 blended pixels").arg(blended)));
}

QTEST_MAIN(TestPageItem)
#include "tst_pageitem.moc"
