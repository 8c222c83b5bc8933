#include "UpdateDlg.h"

#include "downloadmanagerHTTP.h"
#include "remote/AppServer.h"
#include "shell/AppShell.h"
#include "ui_UpdateDlg.h"

#include <QDesktopServices>
#include <QDir>
#include <QMessageBox>
#include <QUrl>
#include <QtDebug>

namespace {

UpdateDlg::OpenFileFunction& OpenFile()
{
    static auto* open = new UpdateDlg::OpenFileFunction;
    return *open;
}

UpdateDlg::EndProcessFunction& EndProcess()
{
    static auto* end = new UpdateDlg::EndProcessFunction;
    return *end;
}

bool OpenWithShell(const QString& path)
{
    if (OpenFile())
        return OpenFile()(path);
    return QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}

} // namespace

UpdateDlg::UpdateDlg(QWidget* parent)
    : QDialog(parent)
    , ui(new Ui::UpdateDlg)
{
    ui->setupUi(this);
    setWindowFlags(Qt::Window | Qt::FramelessWindowHint);

    m_downloader = new DownloadManagerHTTP(this);
    connect(m_downloader, &DownloadManagerHTTP::progress, this, &UpdateDlg::progress);
    connect(m_downloader, &DownloadManagerHTTP::downloadComplete, this, &UpdateDlg::completed);
    connect(m_downloader, &DownloadManagerHTTP::downloadError, this, &UpdateDlg::error);

    AppServer_CheckVersion(&UpdateDlg::OnAppServer_CheckVersionSuccess,
        &UpdateDlg::OnAppServer_CheckVersionError, this, nullptr, false);
}

UpdateDlg::~UpdateDlg() = default;

void UpdateDlg::SetOpenFileFunction(OpenFileFunction open)
{
    OpenFile() = std::move(open);
}

void UpdateDlg::SetEndProcessFunction(EndProcessFunction end)
{
    EndProcess() = std::move(end);
}

void UpdateDlg::OnAppServer_CheckVersionSuccess(const QVariantMap& result, void* context)
{
    auto* dlg = static_cast<UpdateDlg*>(context);
    const int type = result.value(QStringLiteral("type")).toInt();
    const QString updateUrl = result.value(QStringLiteral("updateUrl")).toString();
    const QString newestVersion = result.value(QStringLiteral("newestVersion")).toString();
    qDebug() << "check version: type" << type << "newestVersion" << newestVersion << "updateUrl" << updateUrl;
    if (type == 1)
        return;
    dlg->m_updateUrl = updateUrl;
    dlg->m_downloader->download(QUrl(updateUrl, QUrl::TolerantMode), QString());
    dlg->exec();
}

void UpdateDlg::OnAppServer_CheckVersionError(int code, const QVariantMap& error, void* context)
{
    Q_UNUSED(context);
    qDebug() << "check version error,errorType:" << code << "error:" << error;
}

void UpdateDlg::progress(int percentage)
{
    qDebug() << "progress:" << percentage;
    ui->progressBar->setValue(percentage);
}

void UpdateDlg::completed(QString path)
{
    qDebug() << "completed at path:" << path;
    if (OpenWithShell(path)) {
        if (EndProcess())
            EndProcess()();
        else
            TerminateCurrentProcess();
        close();
        return;
    }
    // Ending now would leave the teacher with neither the old client nor the new one.
    qDebug() << "cannot open installer" << path;
    QMessageBox box(QMessageBox::Information, QStringLiteral("更新"),
        QStringLiteral("无法自动打开安装程序，请手动运行：\n%1").arg(QDir::toNativeSeparators(path)),
        QMessageBox::Ok);
    box.exec();
    close();
}

void UpdateDlg::reject()
{
    // Escape cancels the update for this run. Left running, the download would end the client
    // later in the middle of a class; the part file is kept, so the next start resumes it.
    if (m_downloader->isRunning()) {
        qDebug() << "update cancelled";
        m_downloader->pause();
    }
    QDialog::reject();
}

void UpdateDlg::error()
{
    qDebug() << "download install package fail";
    QMessageBox box(QMessageBox::Critical, QString(), QStringLiteral("下载更新失败"), QMessageBox::Ok);
    box.exec();
    close();
}
