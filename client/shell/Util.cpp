#include "Util.h"

#include "AppFolders.h"
#include "waitingspinnerwidget.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDebug>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>

QSettings* GetSettings()
{
    // Never destroyed: the process ends by terminating itself. Made anew only when a test has
    // moved the written root.
    static QSettings* settings = nullptr;
    static QString boundPath;
    const QString path = AppWriteFolder() + QStringLiteral("/setting");
    if (!settings || boundPath != path) {
        delete settings;
        settings = new QSettings(path, QSettings::IniFormat);
        boundPath = path;
    }
    return settings;
}

void LoadUser(QString& user, QString& password)
{
    QSettings* settings = GetSettings();
    user = settings->value(QStringLiteral("user")).toString();
    password
        = QString::fromUtf8(QByteArray::fromBase64(settings->value(QStringLiteral("pwd")).toByteArray()));
}

void SaveUser(const QString& user, const QString& password)
{
    QByteArray bytes = password.toUtf8();
    const int nul = bytes.indexOf('\0');
    if (nul >= 0)
        bytes.truncate(nul);
    QSettings* settings = GetSettings();
    settings->setValue(QStringLiteral("user"), user);
    settings->setValue(QStringLiteral("pwd"), bytes.toBase64());
    // The process never shuts down in order, so a deferred write would be lost.
    settings->sync();
}

QString Sha1Base64(const QString& text)
{
    return QString::fromLatin1(QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Sha1).toBase64());
}

QString HashFilePath(const QString& path)
{
    QString digest = Sha1Base64(path);
    qDebug() << "base64:" << digest;
    for (QChar c :
        { QChar('"'), QChar('/'), QChar(':'), QChar('<'), QChar('>'), QChar('?'), QChar('\\'), QChar('|') })
        digest.replace(c, QChar(' '));
    return digest;
}

// Texts often carry what others typed (nicknames, server messages): never render them as markup.
void ShowInformation(const QString& title, const QString& text, QWidget* parent)
{
    QMessageBox box(QMessageBox::Information, title, text, QMessageBox::Ok, parent);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

void ShowTopMessage(const QString& title, const QString& text, QWidget* parent)
{
    // One box for the process; guarded, since its first parent may be gone by a later call.
    static QPointer<QMessageBox> box;
    if (!box)
        box = new QMessageBox(parent);
    if (box->isVisible())
        box->close();
    box->setWindowModality(Qt::NonModal);
    box->setIcon(QMessageBox::Information);
    box->setWindowTitle(title);
    box->setTextFormat(Qt::PlainText);
    box->setText(text);
    box->setWindowFlags(box->windowFlags() | Qt::WindowStaysOnTopHint);
    box->show();
}

void ShowError(const QString& text, QWidget* parent)
{
    QMessageBox box(QMessageBox::Critical, QStringLiteral("Error"), text, QMessageBox::Ok, parent);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

void ShowSdkError(int code, const QString& description, QWidget* parent, const QString& title)
{
    HideWaiting();
    const QString text
        = QStringLiteral("错误码:   ") + QString::number(code) + QStringLiteral("\n错误信息: ") + description;
    QMessageBox box(QMessageBox::Critical, title, text, QMessageBox::Ok, parent);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

SignalBlocker::SignalBlocker(QObject* target, int milliseconds)
    : m_target(target)
{
    if (target)
        target->blockSignals(true);
    if (milliseconds >= 1) {
        m_timer = new QTimer(this);
        m_timer->setSingleShot(true);
        connect(m_timer, &QTimer::timeout, this, &QObject::deleteLater);
        m_timer->start(milliseconds);
    }
}

SignalBlocker::~SignalBlocker()
{
    if (m_target)
        m_target->blockSignals(false);
}
