#pragma once

#include <QMessageBox>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTimer>
#include <QVariantMap>

#include <functional>
#include <memory>

class FakeILive;
class LiveDlg;

namespace roomkit {

// lectern-server with demo data on free loopback ports, its database in a temporary folder.
class Server {
public:
    ~Server();
    bool start(QString* error);
    void stop();
    QString jsonRpcUrl() const;

private:
    QTemporaryDir m_dir;
    std::unique_ptr<QProcess> m_process;
    quint16 m_port = 0;
    quint16 m_livePort = 0;
};

// Answers message boxes as they appear and records them. The answer is the button to press;
// by default the box's own default (or accept).
class BoxCatcher : public QObject {
    Q_OBJECT
public:
    struct Seen {
        QString title;
        QString text;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        QMessageBox::StandardButtons buttons;
        QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
        QWidget* parent = nullptr;
    };
    explicit BoxCatcher(QMessageBox::StandardButton answer = QMessageBox::NoButton);
    void setAnswer(QMessageBox::StandardButton answer) { m_answer = answer; }
    const QList<Seen>& seen() const { return m_seen; }
    QStringList texts() const;
    void clear() { m_seen.clear(); }

private:
    void poll();
    QTimer m_timer;
    QMessageBox::StandardButton m_answer;
    QList<Seen> m_seen;
};

// Collects the client's log lines while alive.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    QStringList lines() const;
    bool contains(const QString& text) const;
    int count(const QString& text) const;
};

// Signs in as the demo teacher (the session record then holds "ak" and "userId").
bool SignIn(const QString& loginId, const QString& password, QString* error);
// The demo teacher's lives, as the app server lists them.
QVariantList ListLives(QString* error);

// The fake service with one camera, microphone and speaker, and the room window's listeners
// registered as the lobby registers them.
FakeILive* InstallService();

// A room window as the lobby opens it: g_liveDlg set, ids set, shown maximised.
LiveDlg* OpenRoom(const QString& liveId, int avRoomId);
// Puts a room window away without its closing questions.
void DiscardRoom();

// The {"userAction","actionParam"} commands the fake service was asked to send, in order.
QList<QPair<int, QString>> SentCommands(const FakeILive* service);

// Waits until no app-server request of this process is in flight.
bool WaitForRequests(int timeoutMs = 10000);

} // namespace roomkit
