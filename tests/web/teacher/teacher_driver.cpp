// The teacher's client for the browser tests: the shipped login window, lobby and room window,
// offscreen, with the media test kit's camera, tone and speaker in place of devices. Driven over
// stdin/stdout, one JSON object a line: {"id": n, "cmd": "...", ...} in, {"id": n, "ok": ...} out.
// Every command acts through the windows' own widgets, as the teacher would.
//   teacher_driver --server <JSON-RPC URL> --live <relay URL>
#include "BoxCatcher.h"
#include "ilive/LiveService.h"
#include "media/LiveMedia.h"
#include "media/MediaDevices.h"
#include "lobby/AttendanceDlg.h"
#include "lobby/LiveListDlg.h"
#include "lobby/LiveListItem.h"
#include "lobby/LoginDlg.h"
#include "remote/AppServer.h"
#include "room/LiveDlg.h"
#include "room/MemberListItem.h"
#include "room/QuizPanel.h"
#include "room/VideoRender.h"
#include "shell/Resources.h"
#include "shell/Util.h"
#include "shell/waitingspinnerwidget.h"
#include "ui_LiveDlg.h"
#include "ui_LiveListDlg.h"
#include "ui_LiveListItem.h"
#include "ui_LoginDlg.h"
#include "ui_MemberListItem.h"

#include <QApplication>
#include <QImage>
#include <QCommandLineParser>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QMap>
#include <QElapsedTimer>
#include <QPointer>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTest>
#include <QLineEdit>
#include <QSpinBox>
#include <QTableWidget>
#include <QTextEdit>

#include <cstdio>
#include <functional>
#include <map>
#include <unistd.h>

namespace {

const int kWaitMs = 20000;

class Driver : public QObject {
public:
    Driver()
        : m_boxes(QMessageBox::Yes)
        , m_stdin(STDIN_FILENO, QSocketNotifier::Read)
    {
        connect(&m_stdin, &QSocketNotifier::activated, this, &Driver::readInput);
        m_commands = {
            { "enter", [this](const QJsonObject& c) { return enter(c); } },
            { "state", [this](const QJsonObject&) { return state(); } },
            { "mic", [this](const QJsonObject& c) { return mic(c); } },
            { "say", [this](const QJsonObject& c) { return say(c); } },
            { "tone",
                [](const QJsonObject& c) {
                    media::MediaTestKit::setTone(c.value("on").toBool());
                    return QJsonObject();
                } },
            { "share", [this](const QJsonObject& c) { return share(c); } },
            { "camera", [this](const QJsonObject& c) { return camera(c); } },
            { "deviceMenu", [this](const QJsonObject& c) { return deviceMenu(c); } },
            { "chooseDevice", [this](const QJsonObject& c) { return chooseDevice(c); } },
            { "end", [this](const QJsonObject&) { return end(); } },
            { "grab", [this](const QJsonObject& c) { return grab(c); } },
            { "lowerHand", [this](const QJsonObject& c) { return lowerHand(c); } },
            { "lowerAll", [this](const QJsonObject&) { return click("lowerAllHandsButton"); } },
            { "showMembers",
                [this](const QJsonObject&) {
                    if (!m_room)
                        return fail("not in a room");
                    m_room->form()->tabWidget->setCurrentIndex(1);
                    return QJsonObject();
                } },
            { "quiz", [this](const QJsonObject& c) { return quiz(c); } },
            { "quizClose", [this](const QJsonObject&) { return quizButton(&QuizPanel::closeButton); } },
            { "quizShare", [this](const QJsonObject&) { return quizButton(&QuizPanel::shareButton); } },
            { "attendance", [this](const QJsonObject& c) { return attendance(c); } },
            { "grabQuiz",
                [this](
                    const QJsonObject& c) { return grabWidget(m_room ? m_room->quizPanel() : nullptr, c); } },
            { "grabAttendance", [this](const QJsonObject& c) { return grabWidget(m_attendance, c); } },
        };
    }

private:
    void readInput()
    {
        char chunk[4096];
        const ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
        if (n <= 0) {
            m_stdin.setEnabled(false);
            QCoreApplication::quit();
            return;
        }
        m_input.append(chunk, int(n));
        // A command may wait in a nested event loop; the lines behind it wait their turn.
        if (m_busy)
            return;
        m_busy = true;
        for (int eol; (eol = m_input.indexOf('\n')) >= 0;) {
            const QByteArray line = m_input.left(eol);
            m_input.remove(0, eol + 1);
            if (!line.trimmed().isEmpty())
                run(line);
        }
        m_busy = false;
    }

    void run(const QByteArray& line)
    {
        const QJsonObject command = QJsonDocument::fromJson(line).object();
        QJsonObject reply;
        const auto it = m_commands.find(command.value("cmd").toString());
        if (it == m_commands.end()) {
            reply = fail(QStringLiteral("unknown command: %1").arg(QString::fromUtf8(line)));
        } else {
            reply = it->second(command);
            if (!reply.contains("error"))
                reply.insert("ok", true);
        }
        reply.insert("id", command.value("id"));
        const QByteArray out = QJsonDocument(reply).toJson(QJsonDocument::Compact) + '\n';
        std::fwrite(out.constData(), 1, size_t(out.size()), stdout);
        std::fflush(stdout);
    }

    static QJsonObject fail(const QString& why) { return { { "ok", false }, { "error", why } }; }

    // Signs in through the login window, opens the live of that title from the lobby and starts
    // the class; done when camera, microphone and screen share are on.
    QJsonObject enter(const QJsonObject& c)
    {
        auto* login = new LoginDlg;
        login->setAttribute(Qt::WA_DeleteOnClose);
        login->show();
        login->form()->userTextEdit->setText(c.value("login").toString());
        login->form()->pwdTextEdit->setText(c.value("password").toString());
        QTest::mouseClick(login->form()->loginButton, Qt::LeftButton);
        LiveListDlg* lobby = LiveListDlg::GetInstance();
        const QString title = c.value("title").toString();
        int row = -1;
        const bool listed = QTest::qWaitFor(
            [&] {
                if (!lobby->isVisible() || CurrentWaitingSpinner())
                    return false;
                for (int i = 0; i < lobby->form()->itemsListWidget->count(); ++i)
                    if (lobby->liveAt(i).value("title").toString() == title)
                        row = i;
                return row >= 0;
            },
            kWaitMs);
        if (!listed)
            return fail(QStringLiteral("the lobby did not list \"%1\"; boxes: %2")
                            .arg(title, m_boxes.texts().join('|')));
        lobby->form()->itemsListWidget->scrollToItem(lobby->form()->itemsListWidget->item(row));
        QTest::mouseClick(lobby->itemAt(row)->form()->startButton, Qt::LeftButton);
        if (!QTest::qWaitFor([] { return g_liveDlg && g_liveDlg->isVisible(); }, kWaitMs))
            return fail(QStringLiteral("no room window; boxes: %1").arg(m_boxes.texts().join('|')));
        m_room = g_liveDlg;
        QTest::mouseClick(m_room->form()->startButton, Qt::LeftButton);
        Ui::LiveDlg* ui = m_room->form();
        if (!QTest::qWaitFor(
                [&] {
                    return m_room && m_room->isClassStarted() && ui->cameraButton->isChecked()
                        && ui->microPhoneButton->isChecked() && ui->shareButton->isChecked();
                },
                kWaitMs))
            return fail(QStringLiteral("the class did not start with camera, microphone and share; boxes: %1")
                            .arg(m_boxes.texts().join('|')));
        auto* service = dynamic_cast<LiveService*>(GetILive());
        if (!service)
            return fail("the room does not use the shipped live service");
        connect(service->media(), &LiveMedia::remoteFrame, this,
            [this](const QString& user, int, const media::VideoFrame&) { ++m_frames[user]; });
        connect(service->media(), &LiveMedia::remoteLevel, this, [this](const QString& user, double db) {
            m_levels[user] = db;
            m_peaks[user] = m_peaks.contains(user) ? qMax(m_peaks[user], db) : db;
        });
        return { { "avRoomId", m_room->avRoomId() }, { "liveId", m_room->liveId() } };
    }

    // What the room window shows now.
    QJsonObject state()
    {
        QJsonObject out { { "inRoom", !m_room.isNull() },
            { "notices", QJsonArray::fromStringList(m_boxes.texts()) } };
        // The level heard from each member now, and its loudest since the last look: a browser's
        // fake microphone beeps only now and then.
        QJsonObject levels;
        for (auto it = m_levels.begin(); it != m_levels.end(); ++it)
            levels.insert(it.key(), it.value());
        QJsonObject peaks;
        for (auto it = m_peaks.begin(); it != m_peaks.end(); ++it)
            peaks.insert(it.key(), it.value());
        m_peaks.clear();
        QJsonObject frames;
        for (auto it = m_frames.begin(); it != m_frames.end(); ++it)
            frames.insert(it.key(), it.value());
        out.insert("frames", frames);
        out.insert("levels", levels);
        out.insert("peaks", peaks);
        if (!m_room)
            return out;
        QJsonArray discussion;
        QListWidget* messages = m_room->form()->msgListWidget;
        for (int i = 0; i < messages->count(); ++i) {
            // Rows far from view have no widget; a test's class is short enough to have them all.
            if (QWidget* row = messages->itemWidget(messages->item(i)))
                discussion.append(row->findChild<QLabel*>("nameLabel")->text() + "|"
                    + row->findChild<QLabel*>("timeLabel")->text() + "|"
                    + row->findChild<QLabel*>("contentLabel")->text());
        }
        QJsonArray members;
        QListWidget* list = m_room->form()->memberListWidget;
        for (int i = 0; i < list->count(); ++i) {
            if (auto* row = qobject_cast<MemberListItem*>(list->itemWidget(list->item(i))))
                members.append(QJsonObject { { "userId", row->GetUserId() },
                    { "nickname", row->data().value("nickname").toString() }, { "micOn", row->IsMicOn() },
                    { "hand", row->IsHandRaised() } });
        }
        out.insert("memberTab", m_room->form()->tabWidget->tabText(1));
        out.insert("floorNotice", m_room->FloorNotice());
        QuizPanel* quiz = m_room->quizPanel();
        QJsonArray counts;
        for (int i = 0; i < quiz->choicesBox()->maximum(); ++i)
            counts.append(quiz->count(i));
        QJsonArray answers;
        for (int i = 0; i < quiz->answerList()->count(); ++i)
            answers.append(quiz->answerList()->item(i)->text());
        out.insert("quiz",
            QJsonObject { { "counts", counts }, { "answered", quiz->answered() }, { "answers", answers },
                { "closed", quiz->isClosed() } });
        out.insert("discussion", discussion);
        out.insert("members", members);
        out.insert("classStarted", m_room->isClassStarted());
        out.insert("remotePicture", ShowsPicture(m_room->remoteRender()));
        out.insert("deviceNotice",
            m_room->form()->deviceNoticeLabel->isVisible() ? m_room->form()->deviceNoticeLabel->text()
                                                           : QString());
        out.insert("micMeter", m_room->form()->micLevelBar->value());
        out.insert("micId", QString::fromUtf8(GetILive()->getCurMicId().c_str()));
        out.insert("window", QString::number(m_room->winId()));
        return out;
    }

    // Whether a video view shows a picture: not collapsed, and not all dark.
    static bool ShowsPicture(QWidget* view)
    {
        if (!view->isVisible() || view->height() == 0)
            return false;
        const QImage image = view->grab().toImage();
        int lit = 0;
        int samples = 0;
        for (int y = 0; y < image.height(); y += 8) {
            for (int x = 0; x < image.width(); x += 8, ++samples)
                lit += qGray(image.pixel(x, y)) > 40;
        }
        return samples > 0 && lit * 10 > samples;
    }

    // Clicks the member's microphone switch when it is not already as asked.
    QJsonObject mic(const QJsonObject& c)
    {
        if (!m_room)
            return fail("not in a room");
        const QString userId = c.value("user").toString();
        QListWidget* list = m_room->form()->memberListWidget;
        for (int i = 0; i < list->count(); ++i) {
            auto* row = qobject_cast<MemberListItem*>(list->itemWidget(list->item(i)));
            if (!row || row->GetUserId() != userId)
                continue;
            if (row->IsMicOn() != c.value("on").toBool())
                QTest::mouseClick(row->form()->micButton, Qt::LeftButton);
            return {};
        }
        return fail(QStringLiteral("no member row for %1").arg(userId));
    }

    QJsonObject say(const QJsonObject& c)
    {
        if (!m_room)
            return fail("not in a room");
        m_room->form()->msgTextEdit->setPlainText(c.value("text").toString());
        QTest::mouseClick(m_room->form()->sendButton, Qt::LeftButton);
        return {};
    }

    // The share button, when the share is not already as asked.
    QJsonObject share(const QJsonObject& c)
    {
        if (!m_room)
            return fail("not in a room");
        if (m_room->form()->shareButton->isChecked() != c.value("on").toBool())
            QTest::mouseClick(m_room->form()->shareButton, Qt::LeftButton);
        return {};
    }

    QJsonObject camera(const QJsonObject& c)
    {
        if (!m_room)
            return fail("not in a room");
        if (m_room->form()->cameraButton->isChecked() != c.value("on").toBool())
            QTest::mouseClick(m_room->form()->cameraButton, Qt::LeftButton);
        return {};
    }

    // The class button: "是否下课？" is answered yes.
    QJsonObject end()
    {
        if (!m_room)
            return fail("not in a room");
        QTest::mouseClick(m_room->form()->startButton, Qt::LeftButton);
        if (!QTest::qWaitFor([this] { return m_room.isNull(); }, kWaitMs))
            return fail("the room window stayed open");
        return {};
    }

    // Opens the ▲ menu of "speaker", "mic" or "camera": its lines ("* " marks the one in use) and
    // its window, for a screenshot.
    QJsonObject deviceMenu(const QJsonObject& c)
    {
        if (!m_room)
            return fail("not in a room");
        const QString kind = c.value("kind").toString();
        Ui::LiveDlg* ui = m_room->form();
        QLabel* triangle = kind == "speaker" ? ui->triangle1 : kind == "mic" ? ui->triangle2 : ui->triangle3;
        QTest::mouseClick(triangle, Qt::LeftButton);
        QMenu* menu = nullptr;
        if (!QTest::qWaitFor([&] { return (menu = openMenu()) != nullptr; }, kWaitMs))
            return fail("no menu opened");
        QJsonArray lines;
        for (QAction* action : menu->actions())
            lines.append((action->isChecked() ? "* " : "  ") + action->text());
        return { { "lines", lines }, { "window", QString::number(menu->winId()) } };
    }

    QJsonObject chooseDevice(const QJsonObject& c)
    {
        QMenu* menu = openMenu();
        if (!menu)
            return fail("no menu open");
        for (QAction* action : menu->actions()) {
            if (action->data().toString() == c.value("device").toString()) {
                action->trigger();
                menu->close();
                return {};
            }
        }
        return fail("no such device in the menu");
    }

    QMenu* openMenu() const
    {
        for (QMenu* menu : m_room->findChildren<QMenu*>("deviceMenu"))
            if (menu->isVisible())
                return menu;
        return nullptr;
    }

    QJsonObject grab(const QJsonObject& c)
    {
        if (!m_room)
            return fail("not in a room");
        const QString path = c.value("path").toString();
        if (!m_room->grab().save(path, "PNG"))
            return fail(QStringLiteral("cannot write %1").arg(path));
        return {};
    }

    // The hand button on the member's row.
    QJsonObject lowerHand(const QJsonObject& c)
    {
        if (!m_room)
            return fail("not in a room");
        QListWidget* list = m_room->form()->memberListWidget;
        for (int i = 0; i < list->count(); ++i) {
            auto* row = qobject_cast<MemberListItem*>(list->itemWidget(list->item(i)));
            if (row && row->GetUserId() == c.value("user").toString()) {
                if (!row->IsHandRaised())
                    return fail("that hand is not raised");
                QTest::mouseClick(row->handButton(), Qt::LeftButton);
                return {};
            }
        }
        return fail(QStringLiteral("no member row for %1").arg(c.value("user").toString()));
    }

    QJsonObject click(const char* name)
    {
        auto* button = m_room ? m_room->findChild<QPushButton*>(QString::fromLatin1(name)) : nullptr;
        if (!button)
            return fail(QStringLiteral("no button %1").arg(QString::fromLatin1(name)));
        QTest::mouseClick(button, Qt::LeftButton);
        return {};
    }

    // "随堂提问", then the panel's choices, text and "发布提问".
    QJsonObject quiz(const QJsonObject& c)
    {
        if (QJsonObject r = click("quizButton"); r.contains("error"))
            return r;
        QuizPanel* panel = m_room->quizPanel();
        panel->choicesBox()->setValue(c.value("choices").toInt());
        panel->textEdit()->setText(c.value("text").toString());
        QTest::mouseClick(panel->askButton(), Qt::LeftButton);
        return {};
    }

    QJsonObject quizButton(QPushButton* (QuizPanel::*button)() const)
    {
        if (!m_room)
            return fail("not in a room");
        QPushButton* b = (m_room->quizPanel()->*button)();
        if (!b->isEnabled())
            return fail(QStringLiteral("%1 is disabled").arg(b->text()));
        QTest::mouseClick(b, Qt::LeftButton);
        return {};
    }

    // From the lobby (the class over or the room closed): the live's "出勤", its table once loaded,
    // and its CSV written to "csv" when given.
    QJsonObject attendance(const QJsonObject& c)
    {
        LiveListDlg* lobby = LiveListDlg::GetInstance();
        QListWidget* list = lobby->form()->itemsListWidget;
        const QString title = c.value("title").toString();
        // The lobby shown again loads its list behind a spinner, disabled, and may then show another
        // live on the row: the row is looked for anew before every click, and clicked once usable.
        auto rowButton = [&]() -> QPushButton* {
            for (int i = 0; lobby->isVisible() && i < list->count(); ++i)
                if (lobby->liveAt(i).value("title").toString() == title) {
                    list->scrollToItem(list->item(i));
                    return lobby->itemAt(i)->findChild<QPushButton*>(QStringLiteral("attendanceButton"));
                }
            return nullptr;
        };
        QPointer<QPushButton> button;
        QElapsedTimer sinceClick;
        if (!QTest::qWaitFor(
                [&] {
                    m_attendance = lobby->findChild<AttendanceDlg*>();
                    if (m_attendance)
                        return m_attendance->exportButton()->isEnabled();
                    button = rowButton();
                    if (button && button->isEnabled() && !button->visibleRegion().isEmpty()
                        && (!sinceClick.isValid() || sinceClick.hasExpired(2000))) {
                        QTest::mouseClick(button, Qt::LeftButton);
                        sinceClick.start();
                    }
                    return false;
                },
                kWaitMs)) {
            // What stood in the way: no row, the button not usable, a modal window.
            QStringList seen;
            for (QWidget* w : QApplication::topLevelWidgets())
                if (w->isVisible())
                    seen << QStringLiteral("%1 \"%2\"")
                                .arg(QString::fromLatin1(w->metaObject()->className()), w->windowTitle());
            QWidget* modal = QApplication::activeModalWidget();
            return fail(
                QStringLiteral("the attendance did not load: %1 (button %2; modal: %3; windows: %4)")
                    .arg(m_attendance ? m_attendance->stateLabel()->text() : QStringLiteral("no dialog"),
                        !button                                 ? QStringLiteral("not found")
                            : !button->isEnabled()              ? QStringLiteral("disabled")
                            : button->visibleRegion().isEmpty() ? QStringLiteral("out of view")
                                                                : QStringLiteral("clicked"),
                        modal ? QString::fromLatin1(modal->metaObject()->className())
                              : QStringLiteral("none"),
                        seen.join(QStringLiteral(", "))));
        }
        QJsonArray rows;
        QTableWidget* table = m_attendance->table();
        for (int r = 0; r < table->rowCount(); ++r) {
            QJsonArray cells;
            for (int col = 0; col < table->columnCount(); ++col)
                cells.append(table->item(r, col)->text());
            rows.append(cells);
        }
        const QString csv = c.value("csv").toString();
        QString error;
        if (!csv.isEmpty() && !m_attendance->ExportTo(csv, &error))
            return fail(error);
        return { { "rows", rows } };
    }

    QJsonObject grabWidget(QWidget* w, const QJsonObject& c)
    {
        if (!w)
            return fail("nothing to grab");
        const QString path = c.value("path").toString();
        if (!w->grab().save(path, "PNG"))
            return fail(QStringLiteral("cannot write %1").arg(path));
        return {};
    }

    QPointer<AttendanceDlg> m_attendance;
    BoxCatcher m_boxes;
    QSocketNotifier m_stdin;
    QByteArray m_input;
    bool m_busy = false;
    QPointer<LiveDlg> m_room;
    QMap<QString, double> m_levels;
    QMap<QString, double> m_peaks;
    QMap<QString, int> m_frames; // pictures received, by member
    std::map<QString, std::function<QJsonObject(const QJsonObject&)>> m_commands;
};

} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addOptions({ { "server", "The app server's JSON-RPC URL.", "url" },
        { "live", "The live relay's WebSocket URL.", "url" },
        { "sound-devices", "The sound server's microphones and speakers instead of the test tone." } });
    parser.process(app);
    if (parser.value("server").isEmpty() || parser.value("live").isEmpty()) {
        std::fprintf(stderr, "teacher_driver: --server and --live are needed\n");
        return 2;
    }
    LecternInitResources();
    // A run that was cut short may have left a class end to deliver; this database never had it.
    GetSettings()->clear();
    media::MediaTestKit::setEnabled(true, !parser.isSet("sound-devices"));
    SetAppServerUrl(parser.value("server"));
    LiveService::setDefaultUrl(QUrl(parser.value("live")));
    Driver driver;
    std::fprintf(stdout, "{\"ready\":true}\n");
    std::fflush(stdout);
    return app.exec();
}
