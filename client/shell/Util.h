#pragma once

#include <QObject>
#include <QPointer>
#include <QSettings>
#include <QString>

class QWidget;
class QTimer;

// Local settings: the INI file "setting" in the application folder.
QSettings* GetSettings();
void LoadUser(QString& user, QString& password);
void SaveUser(const QString& user, const QString& password);

// Base64 (standard alphabet, padded) of the SHA-1 of the text's UTF-8 bytes: 28 characters.
QString Sha1Base64(const QString& text);
// Sha1Base64 of a document path, made safe as a file name.
QString HashFilePath(const QString& path);

// Message-box shortcuts.
void ShowInformation(const QString& title, const QString& text, QWidget* parent);
void ShowTopMessage(const QString& title, const QString& text, QWidget* parent);
void ShowError(const QString& text, QWidget* parent);
void ShowSdkError(int code, const QString& description, QWidget* parent, const QString& title);

// Mutes a target's signals; with a positive interval it deletes itself when the interval ends.
class SignalBlocker : public QObject {
    Q_OBJECT
public:
    SignalBlocker(QObject* target, int milliseconds);
    ~SignalBlocker() override;

private:
    QPointer<QObject> m_target;
    QTimer* m_timer = nullptr;
};
