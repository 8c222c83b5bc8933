#pragma once

#include <QDialog>
#include <QString>
#include <QVariantMap>

#include <functional>
#include <memory>

class DownloadManagerHTTP;
namespace Ui {
class UpdateDlg;
}

// Asks the app server at start-up whether an update is due; if so downloads the installer in a
// small modal progress window, opens it and ends the client.
class UpdateDlg : public QDialog {
    Q_OBJECT
public:
    explicit UpdateDlg(QWidget* parent = nullptr);
    ~UpdateDlg() override;

    static void OnAppServer_CheckVersionSuccess(const QVariantMap& result, void* context);
    static void OnAppServer_CheckVersionError(int code, const QVariantMap& error, void* context);

    DownloadManagerHTTP* downloader() const { return m_downloader; }

    // How the installer is opened and the process ended; replaceable so tests keep running.
    using OpenFileFunction = std::function<bool(const QString& path)>;
    using EndProcessFunction = std::function<void()>;
    static void SetOpenFileFunction(OpenFileFunction open); // null restores the desktop shell
    static void SetEndProcessFunction(EndProcessFunction end); // null restores the forced end

public slots:
    void progress(int percentage);
    void completed(QString path);
    void error();
    void reject() override;

private:
    std::unique_ptr<Ui::UpdateDlg> ui;
    QString m_updateUrl;
    DownloadManagerHTTP* m_downloader = nullptr;
};
