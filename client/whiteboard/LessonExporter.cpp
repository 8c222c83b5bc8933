#include "LessonExporter.h"

#include "PageStore.h"
#include "base/GuiThread.h"
#include "shell/Util.h"

#include <QDebug>
#include <QDir>
#include <QFileDialog>
#include <QImage>
#include <QPainter>
#include <QPdfWriter>
#include <QPointer>
#include <QProgressDialog>
#include <QSaveFile>
#include <QStandardPaths>

LessonExporter::LessonExporter(QObject* parent)
    : QObject(parent)
{
}

LessonExporter::~LessonExporter()
{
    if (m_thread.joinable())
        m_thread.join();
}

bool LessonExporter::start(const QVector<LessonPage>& pages, const QSize& canvas, const QString& target)
{
    if (m_running)
        return false;
    if (m_thread.joinable())
        m_thread.join();
    m_running = true;
    QPointer<LessonExporter> self(this);
    m_thread = std::thread([this, self, pages, canvas, target] {
        QString error;
        const bool ok = write(pages, canvas, target, &error, [self](int done, int total) {
            RunOnGuiThread(self, [self, done, total] { emit self->progress(done, total); });
        });
        m_running = false;
        RunOnGuiThread(self, [self, ok, error] { emit self->finished(ok, error); });
    });
    return true;
}

bool LessonExporter::write(const QVector<LessonPage>& pages, const QSize& canvas, const QString& target,
    QString* error, const std::function<void(int, int)>& progress)
{
    auto fail = [error](const QString& why) {
        if (error)
            *error = why;
        qWarning() << "lesson export failed:" << why;
        return false;
    };
    if (canvas.isEmpty())
        return fail(QStringLiteral("画板大小无效"));
    // Written beside the target and renamed over it at the end: a failure leaves no half a file.
    QSaveFile file(target);
    if (!file.open(QIODevice::WriteOnly))
        return fail(
            QStringLiteral("无法写入文件 %1：%2").arg(QDir::toNativeSeparators(target), file.errorString()));

    // One PDF point per pixel of the surface, so shapes keep their page coordinates.
    QPdfWriter pdf(&file);
    pdf.setResolution(72);
    pdf.setPageSize(QPageSize(QSizeF(canvas), QPageSize::Point, QString(), QPageSize::ExactMatch));
    pdf.setPageMargins(QMarginsF(0, 0, 0, 0));
    pdf.setTitle(QStringLiteral("课件"));
    QPainter painter;
    int written = 0;
    for (int i = 0; i < pages.size(); ++i) {
        const LessonPage& page = pages[i];
        LoadedPage drawing = PageStore::instance()->read(page.pageFile, QSize(), 1.0, false);
        const QImage slide = page.image.isEmpty() ? QImage() : QImage(page.image);
        if (page.onlyIfDrawn && drawing.shapes.isEmpty()) {
            if (progress)
                progress(i + 1, pages.size());
            continue;
        }
        if (written == 0) {
            if (!painter.begin(&pdf)) {
                file.cancelWriting();
                return fail(QStringLiteral("无法写入文件 %1").arg(QDir::toNativeSeparators(target)));
            }
        } else if (!pdf.newPage()) {
            painter.end();
            file.cancelWriting();
            return fail(QStringLiteral("无法写入文件 %1").arg(QDir::toNativeSeparators(target)));
        }
        painter.setRenderHint(QPainter::Antialiasing, true);
        painter.setRenderHint(QPainter::TextAntialiasing, true);
        if (!slide.isNull()) {
            // As the preview shows it: fitted into the surface, centred.
            const QSize fitted = slide.size().scaled(canvas, Qt::KeepAspectRatio);
            const QRect at(
                QPoint((canvas.width() - fitted.width()) / 2, (canvas.height() - fitted.height()) / 2),
                fitted);
            painter.drawImage(QRectF(at), slide);
        } else if (!page.image.isEmpty()) {
            qWarning() << "lesson export: slide image cannot be read:" << page.image;
        }
        painter.setClipRect(QRect(QPoint(), canvas));
        for (const auto& shape : drawing.shapes)
            shape->draw(&painter, 1.0f);
        painter.setClipping(false);
        ++written;
        if (progress)
            progress(i + 1, pages.size());
    }
    if (written == 0) {
        file.cancelWriting();
        return fail(QStringLiteral("没有可导出的页面"));
    }
    painter.end();
    if (!file.commit())
        return fail(
            QStringLiteral("无法写入文件 %1：%2").arg(QDir::toNativeSeparators(target), file.errorString()));
    return true;
}

void LessonExporter::run(QWidget* parent, const QVector<LessonPage>& pages, const QSize& canvas)
{
    const QString start = QDir(QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation))
                              .filePath(QStringLiteral("课件.pdf"));
    const QString target = QFileDialog::getSaveFileName(
        parent, QStringLiteral("导出课件"), start, QStringLiteral("PDF (*.pdf)"));
    if (target.isEmpty())
        return;
    auto* exporter = new LessonExporter(parent);
    auto* dialog = new QProgressDialog(QStringLiteral("正在导出课件…"), QString(), 0, pages.size(), parent);
    dialog->setWindowTitle(QStringLiteral("导出课件"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    // Short lessons end before the indicator would show.
    dialog->setMinimumDuration(500);
    dialog->setValue(0);
    connect(exporter, &LessonExporter::progress, dialog, [dialog](int done, int total) {
        dialog->setMaximum(total);
        dialog->setValue(done);
    });
    QPointer<QProgressDialog> shown(dialog);
    connect(exporter, &LessonExporter::finished, exporter,
        [exporter, shown, parent](bool ok, const QString& why) {
            if (shown)
                shown->close();
            exporter->deleteLater();
            if (!ok)
                ShowError(QStringLiteral("导出课件失败：") + why, parent);
        });
    exporter->start(pages, canvas, target);
}
