// lectern-student: a scripted student for classes held on one machine.
#include "Student.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTimer>

#include <csignal>

namespace {
volatile std::sig_atomic_t g_stop = 0;
void onSignal(int)
{
    g_stop = 1;
}
} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    app.setApplicationName("lectern-student");
    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Signs in to the app server as a student, enters a live and joins its room on the live relay; "
        "announces itself, chats, answers invitations to speak, receives the teacher's sound and video "
        "(logging the sound's on/off edges and each picture's size and brightness) and, on the microphone, "
        "sends a test tone and, with --camera, a test picture.\n"
        "Without --room or --live-id it waits for the first class a teacher opens. It leaves when the "
        "class ends, after --duration, or on Ctrl+C.\n"
        "Example: lectern-student --login student01 --chat-every 20");
    parser.addHelpOption();
    StudentOptions o;
    const QCommandLineOption server("server",
        QStringLiteral("App-server JSON-RPC endpoint (default: %1).").arg(o.server.toString()), "URL",
        o.server.toString());
    const QCommandLineOption live("live",
        QStringLiteral("Live relay WebSocket URL (default: %1).").arg(o.live.toString()), "URL",
        o.live.toString());
    const QCommandLineOption login("login", "Login id (required).", "ID");
    const QCommandLineOption password("password", "Password (default: 123456).", "TEXT", o.password);
    const QCommandLineOption nickname("nickname", "Name to announce (default: the account's).", "TEXT");
    const QCommandLineOption teacher("teacher",
        "Numeric user id (not the login) of the teacher whose lives --live-id is looked up in (default: all "
        "teachers).",
        "USERID");
    const QCommandLineOption liveId("live-id",
        "Live to join, looked up in the lives of --teacher (default: the first class a teacher has opened on "
        "the relay).",
        "ID");
    const QCommandLineOption room("room", "Join this av room directly, without looking up a live.", "N");
    const QCommandLineOption chat("chat-every", "Send a chat line every SECONDS (0: never).", "SECONDS", "0");
    const QCommandLineOption accept("accept", "Accept invitations to speak (the default).");
    const QCommandLineOption reject("reject",
        "Decline invitations to speak: REASON 0 declines, 1 or 2 says the microphone cannot be used.",
        "REASON");
    const QCommandLineOption micOff(
        "mic-off-after", "Go off the microphone SECONDS after accepting.", "SECONDS", "0");
    const QCommandLineOption camera(
        "camera", "On the microphone, send a test picture (colour bars) beside the test tone.");
    const QCommandLineOption duration(
        "duration", "Leave after SECONDS (0: when the class ends).", "SECONDS", "0");
    const QCommandLineOption reconnect("reconnect-ms",
        "Keep trying a dropped live relay connection for MS milliseconds, resuming the same place in the "
        "room (default: 15000; 0: give up at once).",
        "MS", "15000");
    const QCommandLineOption toneHz(
        "tone-hz", "Pitch of the test tone sent on the microphone (default: 440).", "HZ", "440");
    parser.addOptions({ server, live, login, password, nickname, teacher, liveId, room, chat, accept, reject,
        micOff, camera, duration, reconnect, toneHz });
    parser.process(app);

    auto number = [&](const QCommandLineOption& opt, int* out) {
        bool ok = false;
        const int v = parser.value(opt).toInt(&ok);
        if (!ok || v < 0) {
            qCritical("lectern-student: --%s needs a whole number >= 0", qPrintable(opt.names().first()));
            return false;
        }
        *out = v;
        return true;
    };
    o.server = QUrl(parser.value(server));
    o.live = QUrl(parser.value(live));
    o.login = parser.value(login);
    o.password = parser.value(password);
    o.nickname = parser.value(nickname);
    o.teacher = parser.value(teacher);
    o.liveId = parser.value(liveId);
    o.camera = parser.isSet(camera);
    bool hzOk = false;
    o.toneHz = parser.value(toneHz).toDouble(&hzOk);
    if (!hzOk || o.toneHz < 20 || o.toneHz > 20000) {
        qCritical("lectern-student: --tone-hz takes 20 to 20000");
        return 2;
    }
    int roomId = 0;
    if (!number(chat, &o.chatEverySecs) || !number(micOff, &o.micOffAfterSecs)
        || !number(duration, &o.durationSecs) || !number(reconnect, &o.reconnectMs))
        return 2;
    if (parser.isSet(room) && (!number(room, &roomId) || roomId == 0)) {
        qCritical("lectern-student: --room needs a room number");
        return 2;
    }
    o.roomId = quint32(roomId);
    if (parser.isSet(reject)) {
        if (parser.isSet(accept) || !number(reject, &o.rejectReason) || o.rejectReason > 2) {
            qCritical("lectern-student: --reject takes 0, 1 or 2 and excludes --accept");
            return 2;
        }
        o.reject = true;
    }
    if (o.login.isEmpty()) {
        qCritical("lectern-student: --login is required (see --help)");
        return 2;
    }

    Student student(o);
    QObject::connect(&student, &Student::finished, &app, &QCoreApplication::exit);
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    QTimer stopWatch;
    QObject::connect(&stopWatch, &QTimer::timeout, &student, [&] {
        if (g_stop) {
            stopWatch.stop();
            student.leave("stopped");
            QTimer::singleShot(3000, &app, [] { QCoreApplication::exit(0); });
        }
    });
    stopWatch.start(200);
    QTimer::singleShot(0, &student, &Student::start);
    return app.exec();
}
