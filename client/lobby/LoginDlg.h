#pragma once

#include <QDialog>
#include <QString>
#include <QVariantMap>

#include <memory>
#include <string>

namespace Ui {
class LoginDlg;
}

// The first window: starts the live-video service and signs the teacher in, in four steps
// (app-server login, signature, live-video login, remembering the login and opening the lobby).
class LoginDlg : public QDialog {
    Q_OBJECT
public:
    explicit LoginDlg(QWidget* parent = nullptr);
    ~LoginDlg() override;

    Q_INVOKABLE void iLiveLoginCompleted(int code, const std::string& desc);

    // Returns false when the service could not be initialised (the process is then ended).
    bool InitLiveService();
    void LiveServiceLogin();

    static void OnAppServerLoginSuccess(const QVariantMap& result, void* context);
    static void OnAppServerCreateSigSuccess(const QVariantMap& result, void* context);
    // The request has shown its box; the teacher may try again.
    static void OnAppServerSignInError(int code, const QVariantMap& error, void* context);
    static void OnLiveLoginSuccess(void* data);
    static void OnLiveLoginFailure(int code, const char* description, void* data);

    QString user() const { return m_user; }
    QString password() const { return m_password; }
    QString userSig() const { return m_userSig; }
    bool isSigningIn() const { return m_signingIn; }
    Ui::LoginDlg* form() const { return ui.get(); }

public slots:
    void OnLoginButtonClick();

protected:
    void childEvent(QChildEvent* event) override;

private:
    std::unique_ptr<Ui::LoginDlg> ui;
    int m_appId = 0;
    int m_accountType = 0;
    QString m_user;
    QString m_password;
    QString m_userSig;
    // From a click on 登录 until the sign-in has succeeded or failed: one attempt at a time, since
    // the service gives up on a pending sign-in when a second one starts.
    bool m_signingIn = false;
};
