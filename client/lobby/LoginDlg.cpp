#include "LoginDlg.h"

#include "LiveListDlg.h"
#include "ProcessEnd.h"
#include "base/GuiThread.h"
#include "ilive/ilive.h"
#include "lectern_config.h"
#include "remote/AppServer.h"
#include "remote/PendingLiveEnds.h"
#include "remote/Request.h"
#include "room/LiveDlg.h"
#include "shell/Util.h"
#include "ui_LoginDlg.h"

#include <QChildEvent>
#include <QDebug>

LoginDlg::LoginDlg(QWidget* parent)
    : QDialog(parent)
    , ui(new Ui::LoginDlg)
{
    qRegisterMetaType<std::string>("std::string");
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint
        | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    ui->setupUi(this);
    setFixedSize(800, 600);
    ui->pwdTextEdit->setEchoMode(QLineEdit::Password);

    InitLiveService();

    connect(ui->loginButton, &QPushButton::clicked, this, &LoginDlg::OnLoginButtonClick);

    QString user;
    QString password;
    LoadUser(user, password);
    ui->userTextEdit->setText(user);
    ui->pwdTextEdit->setText(password);

    setWindowTitle(QStringLiteral("Tutorline直播助手"));
}

LoginDlg::~LoginDlg() = default;

void LoginDlg::childEvent(QChildEvent* event)
{
    QDialog::childEvent(event);
    // The window's style sheet has no selector, so message boxes opened over it would take
    // the login picture as their background as well, and their text would be hard to read.
    if (event->type() == QEvent::ChildPolished)
        if (auto* dialog = qobject_cast<QDialog*>(event->child()))
            if (dialog->styleSheet().isEmpty())
                dialog->setStyleSheet(QStringLiteral("background-image:url();"));
}

bool LoginDlg::InitLiveService()
{
    m_appId = LECTERN_APP_ID;
    m_accountType = LECTERN_ACCOUNT_TYPE;

    ilive::iLive* live = GetILive();
    live->setMessageCallBack(LiveDlg::OnMessageCallback, nullptr);
    live->setForceOfflineCallback(LiveListDlg::OnForceOffline);
    live->setRemoteVideoCallBack(LiveDlg::OnRemoteVideoFrame, nullptr);
    live->setLocalVideoCallBack(LiveDlg::OnLocalVideoFrame, nullptr);
    live->setDeviceOperationCallback(LiveDlg::OnDeviceOperation, nullptr);

    // The frame format that the render views of this machine draw fastest.
    ilive::iLiveRootView* probe = iLiveCreateRootView();
    if (probe) {
        live->setVideoColorFormat(probe->getRootViewType() == ilive::ROOT_VIEW_TYPE_ACCELERATED
                ? ilive::COLOR_FORMAT_I420
                : ilive::COLOR_FORMAT_RGB32);
        probe->destroy();
    } else {
        live->setVideoColorFormat(ilive::COLOR_FORMAT_RGB32);
    }

    if (live->init(m_appId, m_accountType, true) != 0) {
        ShowError(QStringLiteral("init sdk failed."), this);
        EndProcess();
        return false;
    }
    return true;
}

void LoginDlg::OnLoginButtonClick()
{
    m_user = ui->userTextEdit->text();
    m_password = ui->pwdTextEdit->text();
    if (m_user.isEmpty()) {
        ShowInformation(QString(), QStringLiteral("请输入用户名"), this);
        return;
    }
    if (m_password.isEmpty()) {
        ShowInformation(QString(), QStringLiteral("请输入密码"), this);
        return;
    }
    if (m_signingIn) {
        qDebug() << "a sign-in is under way already";
        return;
    }
    m_signingIn = true;
    AppServer_Login(m_user, m_password, OnAppServerLoginSuccess, OnAppServerSignInError, this, this);
}

void LoginDlg::OnAppServerSignInError(int code, const QVariantMap&, void* context)
{
    qDebug() << "sign-in request failed, code:" << code;
    static_cast<LoginDlg*>(context)->m_signingIn = false;
}

void LoginDlg::OnAppServerLoginSuccess(const QVariantMap& result, void* context)
{
    qDebug() << "login success\n" << MaskSecretsForLog(result);
    SessionRecord() = result;
    AppServer_CreateSig(
        OnAppServerCreateSigSuccess, OnAppServerSignInError, context, static_cast<LoginDlg*>(context));
}

void LoginDlg::OnAppServerCreateSigSuccess(const QVariantMap& result, void* context)
{
    qDebug() << "create sig success\n" << result;
    auto* dlg = static_cast<LoginDlg*>(context);
    const QVariant sig = result.value(QStringLiteral("userSig"));
    if (sig.isNull()) {
        dlg->m_signingIn = false;
        return;
    }
    dlg->m_userSig = sig.toString();
    dlg->LiveServiceLogin();
}

void LoginDlg::LiveServiceLogin()
{
    const QByteArray userId = SessionRecord().value(QStringLiteral("userId")).toString().toUtf8();
    const QByteArray sig = m_userSig.toUtf8();
    GetILive()->login(userId.constData(), sig.constData(), OnLiveLoginSuccess, OnLiveLoginFailure, this);
}

void LoginDlg::OnLiveLoginSuccess(void* data)
{
    auto* dlg = static_cast<LoginDlg*>(data);
    // Widgets are touched only on the GUI thread, whichever thread the service answers on.
    RunOnGuiThread(dlg, [dlg] { dlg->iLiveLoginCompleted(0, std::string()); });
}

void LoginDlg::OnLiveLoginFailure(int code, const char* description, void* data)
{
    auto* dlg = static_cast<LoginDlg*>(data);
    const std::string desc = description ? description : "";
    RunOnGuiThread(dlg, [dlg, code, desc] { dlg->iLiveLoginCompleted(code, desc); });
}

void LoginDlg::iLiveLoginCompleted(int code, const std::string& desc)
{
    m_signingIn = false;
    if (code != 0) {
        ShowSdkError(code, QString::fromStdString(desc), this, QStringLiteral("iLive Login Error"));
        return;
    }
    SaveUser(m_user, m_password);
    // A class ended while the server could not be reached is ended now.
    PendingLiveEnds::GetInstance()->Resume();
    LiveListDlg::GetInstance()->showMaximized();
    close();
}
