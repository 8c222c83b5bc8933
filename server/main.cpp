// lectern-server: the app server (JSON-RPC over HTTP, SQLite, installer downloads) and the live
// relay (WebSocket) in one process, plus the administration commands that fill its database.
#include "app/AppServer.h"
#include "app/StoreBackup.h"
#include "relay/LiveRelay.h"
#include "relay/MediaRooms.h"
#include "relay/RelayMetrics.h"
#include "replay/Recorder.h"
#include "replay/ReplayMaker.h"

#include "common/ReplayFolder.h"

#include "common/ConfigFile.h"
#include "common/EpollDispatcher.h"
#include "common/TlsPair.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QSaveFile>
#include <QSocketNotifier>
#include <QTextStream>
#include <QTimer>
#include <QUrl>

#include <csignal>
#include <memory>
#include <optional>
#include <cstdio>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

using appserver::AppError;
using appserver::AppServer;
using appserver::AppServerOptions;
using appserver::AppStore;

namespace {

int g_signalPipe[2] = { -1, -1 };
// Set once the configuration file is read, so refusals of its values name their line.
const ConfigFile* g_config = nullptr;

void onSignal(int)
{
    const char c = 1;
    [[maybe_unused]] const ssize_t n = ::write(g_signalPipe[0], &c, 1);
}

// SIGINT/SIGTERM end the event loop, so the HTTP workers are joined and the database closed.
void quitOnSignals(QCoreApplication& app)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, g_signalPipe) != 0)
        return;
    auto* notifier = new QSocketNotifier(g_signalPipe[1], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [&app] {
        char c = 0;
        [[maybe_unused]] const ssize_t n = ::read(g_signalPipe[1], &c, 1);
        app.quit();
    });
    struct sigaction sa = {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

// Every open connection is a file descriptor; the default soft limit of 1024 would cap a school.
void raiseOpenFileLimit()
{
    rlimit limit = {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

QTextStream& out()
{
    static QTextStream s(stdout);
    static const bool utf8 = (s.setCodec("UTF-8"), true);
    Q_UNUSED(utf8);
    return s;
}

int fail(const QString& message)
{
    QTextStream err(stderr);
    err.setCodec("UTF-8");
    err << "lectern-server: " << (g_config ? g_config->whereNamed(message) : QString()) << message
        << Qt::endl;
    return 1;
}

bool parseTime(const QString& text, qint64* ms)
{
    for (const char* format : { "yyyy-MM-dd hh:mm", "yyyy-MM-ddThh:mm", "yyyy-MM-dd hh:mm:ss" }) {
        const QDateTime t = QDateTime::fromString(text, QLatin1String(format));
        if (t.isValid()) {
            *ms = t.toMSecsSinceEpoch();
            return true;
        }
    }
    return false;
}

QString timeText(qint64 ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms).toString(QStringLiteral("yyyy-MM-dd hh:mm"));
}

int userCommand(AppStore& store, const QStringList& args)
{
    if (args.value(1) == QLatin1String("add") && args.size() >= 5 && args.size() <= 6) {
        const QString role = args.value(5, QStringLiteral("student"));
        std::string r;
        if (role == QLatin1String("teacher") || role == QLatin1String("t"))
            r = "t";
        else if (role == QLatin1String("student") || role == QLatin1String("s"))
            r = "s";
        else
            return fail(QStringLiteral("the role is teacher or student, not %1").arg(role));
        const int64_t id
            = store.addUser(args[2].toStdString(), args[3].toStdString(), args[4].toStdString(), r);
        out() << "added user " << id << " " << args[2] << Qt::endl;
        return 0;
    }
    if (args.value(1) == QLatin1String("list") && args.size() == 2) {
        for (const appserver::UserRecord& u : store.users())
            out() << u.userId << '\t' << QString::fromStdString(u.loginId) << '\t'
                  << (u.role == "t" ? "teacher" : "student") << '\t' << QString::fromStdString(u.nickname)
                  << '\n';
        out().flush();
        return 0;
    }
    return fail(QStringLiteral("usage: user add LOGIN PASSWORD NICKNAME [teacher|student] | user list"));
}

// A live with a roster is for its teacher and the users on it only; without one, for everybody.
int rosterCommand(AppStore& store, const QStringList& args)
{
    const bool show = args[1] == QLatin1String("roster");
    bool ok = false;
    const qint64 liveId = args.value(2).toLongLong(&ok);
    if (!ok || (show ? args.size() != 3 : args.size() < 4))
        return fail(QStringLiteral("usage: live enrol LIVE_ID LOGIN... | live unenrol LIVE_ID LOGIN... | "
                                   "live roster LIVE_ID"));
    if (!show) {
        std::vector<std::string> logins;
        for (const QString& login : args.mid(3))
            logins.push_back(login.toStdString());
        store.setOnRoster(liveId, logins, args[1] == QLatin1String("enrol"));
    }
    const std::vector<appserver::UserRecord> roster = store.roster(liveId);
    if (roster.empty())
        out() << "live " << liveId << " has no roster: every student may enter" << Qt::endl;
    for (const appserver::UserRecord& u : roster)
        out() << u.userId << '\t' << QString::fromStdString(u.loginId) << '\t'
              << (u.role == "t" ? "teacher" : "student") << '\t' << QString::fromStdString(u.nickname)
              << '\n';
    out().flush();
    return 0;
}

int liveCommand(AppStore& store, const QStringList& args)
{
    if (args.value(1) == QLatin1String("add") && args.size() >= 6 && args.size() <= 7) {
        qint64 start = 0;
        qint64 end = 0;
        if (!parseTime(args[4], &start) || !parseTime(args[5], &end))
            return fail(QStringLiteral("times are written \"yyyy-MM-dd hh:mm\""));
        const int64_t id = store.addLive(
            args[2].toStdString(), args[3].toStdString(), args.value(6).toStdString(), start, end);
        out() << "added live " << id << " " << args[3] << Qt::endl;
        return 0;
    }
    if (args.value(1) == QLatin1String("list") && args.size() == 2) {
        for (const appserver::LiveRecord& l : store.allLives())
            out() << l.liveId << '\t' << l.teacherId << '\t' << QString::fromStdString(l.state) << '\t'
                  << timeText(l.startMs) << " ~ " << timeText(l.endMs) << '\t'
                  << (l.avRoomId ? QString::number(*l.avRoomId) : QStringLiteral("-")) << '\t'
                  << QString::fromStdString(l.title) << '\n';
        out().flush();
        return 0;
    }
    if (args.value(1) == QLatin1String("enrol") || args.value(1) == QLatin1String("unenrol")
        || args.value(1) == QLatin1String("roster"))
        return rosterCommand(store, args);
    return fail(QStringLiteral(
        "usage: live add TEACHER_LOGIN TITLE \"yyyy-MM-dd hh:mm\" \"yyyy-MM-dd hh:mm\" [REMARK]"
        " | live list | live enrol LIVE_ID LOGIN... | live unenrol LIVE_ID LOGIN... | live roster LIVE_ID"));
}

QString mebibytes(qint64 bytes)
{
    return QString::number(double(bytes) / (1 << 20), 'f', 1) + QStringLiteral(" MiB");
}

int replayCommand(AppStore& store, const QStringList& args, const QString& root, const QString& olderThan)
{
    const QString usage = QStringLiteral("usage: replay list | replay delete LIVE_ID | replay purge "
                                         "--older-than DAYS (with --recordings DIR)");
    if (root.isEmpty())
        return fail(QStringLiteral("replays need the recordings folder: give --recordings DIR"));
    const QString what = args.value(1);
    if (what == QLatin1String("list") && args.size() == 2 && olderThan.isEmpty()) {
        qint64 total = 0;
        for (const replayfolder::Replay& r : replayfolder::list(root)) {
            const std::optional<appserver::LiveRecord> live = store.live(r.liveId);
            out() << r.liveId << '\t' << replayfolder::stateName(r.state) << '\t'
                  << (r.durationMs ? QString::number(r.durationMs / 1000) + QStringLiteral(" s")
                                   : QStringLiteral("-"))
                  << '\t' << mebibytes(r.bytes) << '\t'
                  << (r.madeMs ? timeText(r.madeMs) : QStringLiteral("-")) << '\t'
                  << (live ? QString::fromStdString(live->title) : QStringLiteral("(no such live)"))
                  << (r.error.isEmpty() ? QString() : QStringLiteral("\t") + r.error) << '\n';
            total += r.bytes;
        }
        out() << "total " << mebibytes(total) << " in " << QDir(root).absolutePath() << Qt::endl;
        return 0;
    }
    if (what == QLatin1String("delete") && args.size() == 3 && olderThan.isEmpty()) {
        bool ok = false;
        const qint64 liveId = args[2].toLongLong(&ok);
        if (!ok || liveId <= 0)
            return fail(usage);
        QString why;
        if (!replayfolder::remove(root, liveId, &why))
            return fail(why);
        out() << "deleted the replay of live " << liveId << Qt::endl;
        return 0;
    }
    if (what == QLatin1String("purge") && args.size() == 2) {
        bool ok = false;
        const int days = olderThan.toInt(&ok);
        if (!ok || days < 0)
            return fail(usage);
        const qint64 before = QDateTime::currentMSecsSinceEpoch() - qint64(days) * 24 * 3600 * 1000;
        int deleted = 0;
        // Only what is done with: a class still recorded or waiting for its replay stays.
        for (const replayfolder::Replay& r : replayfolder::list(root)) {
            if ((r.state != replayfolder::State::Ready && r.state != replayfolder::State::Failed)
                || r.madeMs >= before)
                continue;
            QString why;
            if (!replayfolder::remove(root, r.liveId, &why))
                return fail(why);
            ++deleted;
        }
        out() << "deleted " << deleted << " replays older than " << days << " days" << Qt::endl;
        return 0;
    }
    return fail(usage);
}

// Copies the installer into the downloads folder whole or not at all, then makes it the newest.
int publish(AppStore& store, const QString& version, const QString& file, const QString& downloads)
{
    if (!AppServer::compareVersions(version.toStdString(), version.toStdString()))
        return fail(QStringLiteral("a version looks like rided4a_win_1.1, not %1").arg(version));
    const QFileInfo source(file);
    if (!source.isFile())
        return fail(QStringLiteral("no such installer: %1").arg(file));
    if (source.fileName().startsWith(QLatin1Char('.')))
        return fail(QStringLiteral("the installer's name must not start with a dot"));
    QFile in(source.absoluteFilePath());
    if (!in.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("cannot read %1: %2").arg(file, in.errorString()));
    // Each version gets a name of its own, so a client's part file of an older installer is never
    // resumed with the bytes of a newer one.
    const QString published = source.suffix().isEmpty()
        ? source.fileName() + QLatin1Char('-') + version
        : source.completeBaseName() + QLatin1Char('-') + version + QLatin1Char('.') + source.suffix();
    const QString target = QDir(downloads).filePath(published);
    if (QFileInfo(target).canonicalFilePath() != source.canonicalFilePath()) {
        QSaveFile copy(target);
        if (!copy.open(QIODevice::WriteOnly))
            return fail(QStringLiteral("cannot write %1: %2").arg(target, copy.errorString()));
        while (!in.atEnd()) {
            const QByteArray chunk = in.read(1 << 20);
            if (chunk.isEmpty() || copy.write(chunk) != chunk.size()) {
                copy.cancelWriting();
                return fail(QStringLiteral("copying %1 failed").arg(file));
            }
        }
        if (!copy.commit())
            return fail(QStringLiteral("cannot write %1: %2").arg(target, copy.errorString()));
    }
    store.setNewestRelease({ version.toStdString(), published.toStdString() });
    out() << "published " << version << " as /downloads/" << published << Qt::endl;
    return 0;
}

// One admin key, alone in its file but for the line end an editor adds.
std::optional<QString> readKeyFile(const QString& file, QString* error)
{
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read the admin key file %1: %2").arg(file, f.errorString());
        return std::nullopt;
    }
    const QByteArray text = f.read(4097).trimmed();
    if (text.size() > 4096 || text.contains('\n')) {
        *error = QStringLiteral("the admin key file %1 must hold the key alone, on one line").arg(file);
        return std::nullopt;
    }
    if (text.isEmpty()) {
        *error = QStringLiteral("the admin key file %1 is empty").arg(file);
        return std::nullopt;
    }
    return QString::fromUtf8(text);
}

// Pairs each --janus with the key and public address given in the same place among theirs: one
// key (or public address) may serve every server; otherwise there is one per server.
bool mediaServers(const QStringList& urls, const QStringList& keys, const QStringList& publicUrls,
    QList<MediaServerConfig>* servers, QString* error)
{
    if (urls.isEmpty()) {
        if (!keys.isEmpty() || !publicUrls.isEmpty()) {
            *error = QStringLiteral("--janus-admin-key and --janus-public-url need --janus");
            return false;
        }
        return true;
    }
    const auto pick = [&urls](const QStringList& values, int i) {
        return values.size() == 1 ? values.first() : values.value(i);
    };
    if (keys.size() != 1 && keys.size() != urls.size()) {
        *error = QStringLiteral("give one --janus-admin-key, or one for each --janus");
        return false;
    }
    if (publicUrls.size() > 1 && publicUrls.size() != urls.size()) {
        *error = QStringLiteral("give one --janus-public-url, or one for each --janus");
        return false;
    }
    const auto wsUrl = [](const QString& text) {
        const QUrl url(text, QUrl::StrictMode);
        return url.isValid() && !url.host().isEmpty()
                && (url.scheme() == QLatin1String("ws") || url.scheme() == QLatin1String("wss"))
            ? url
            : QUrl();
    };
    for (int i = 0; i < urls.size(); ++i) {
        MediaServerConfig c;
        c.url = wsUrl(urls[i]);
        c.adminKey = pick(keys, i);
        if (c.url.isEmpty()) {
            *error = QStringLiteral("--janus takes a ws:// or wss:// URL, not %1").arg(urls[i]);
            return false;
        }
        if (c.adminKey.isEmpty()) {
            *error = QStringLiteral("--janus-admin-key is empty");
            return false;
        }
        if (!publicUrls.isEmpty()) {
            c.publicUrl = wsUrl(pick(publicUrls, i));
            if (c.publicUrl.isEmpty()) {
                *error = QStringLiteral("--janus-public-url takes a ws:// or wss:// URL, not %1")
                             .arg(pick(publicUrls, i));
                return false;
            }
        }
        servers->append(c);
    }
    return true;
}

// Students on other machines get the media server's client-facing address: one only this machine
// reaches would leave them without sound or video, with nothing said about why.
QString unreachableMedia(const QHostAddress& bound, const QList<MediaServerConfig>& servers)
{
    if (bound.isLoopback())
        return QString();
    for (const MediaServerConfig& c : servers) {
        const QUrl url = c.publicUrl.isEmpty() ? c.url : c.publicUrl;
        const QString host = url.host();
        if (host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0
            || QHostAddress(host).isLoopback())
            return QStringLiteral(
                "--host %1 lets students on other machines in, but they would be sent the media "
                "server at %2, which only this machine reaches: give --janus-public-url with an "
                "address they can reach")
                .arg(bound.toString(), url.toString());
    }
    return QString();
}

// Each --janus-admin-url, paired with --janus like the public addresses; without one lectern-server
// reaches the Admin API beside the server's WebSocket transport (start-janus.sh's default).
bool mediaAdminUrls(const QStringList& urls, QList<MediaServerConfig>* servers, QString* error)
{
    if (urls.isEmpty())
        return true;
    if (servers->isEmpty() || (urls.size() != 1 && urls.size() != servers->size())) {
        *error = QStringLiteral("give one --janus-admin-url for each --janus");
        return false;
    }
    for (int i = 0; i < servers->size(); ++i) {
        const QString text = urls.size() == 1 ? urls.first() : urls[i];
        const QUrl url(text, QUrl::StrictMode);
        if (!url.isValid() || url.host().isEmpty()
            || (url.scheme() != QLatin1String("ws") && url.scheme() != QLatin1String("wss"))) {
            *error = QStringLiteral("--janus-admin-url takes a ws:// or wss:// URL, not %1").arg(text);
            return false;
        }
        (*servers)[i].adminUrl = url;
    }
    return true;
}

} // namespace

int main(int argc, char* argv[])
{
    // Qt's own event dispatcher rather than glib's for any other thread: with 10,000 relay
    // connections glib's costs about seven times the CPU per relay message (bench_capacity).
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
    // The main thread, where the relay's sockets are, waits with epoll (see EpollDispatcher).
    installEpollDispatcher();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("lectern-server"));
    qSetMessagePattern(QStringLiteral("%{time yyyy-MM-dd hh:mm:ss.zzz} %{message}"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Lectern's app server (JSON-RPC over HTTP, installer downloads) and live relay (WebSocket).\n"
        "Without a command it serves until stopped with Ctrl+C or SIGTERM, e.g.\n"
        "  lectern-server --demo --db lectern.db\n\n"
        "Administration on the database given by --db (then exits):\n"
        "  user add LOGIN PASSWORD NICKNAME [teacher|student]\n"
        "  user list\n"
        "  live add TEACHER_LOGIN TITLE \"yyyy-MM-dd hh:mm\" \"yyyy-MM-dd hh:mm\" [REMARK]\n"
        "  live list\n"
        "  live enrol LIVE_ID LOGIN...   only its teacher and these may see and enter the live\n"
        "  live unenrol LIVE_ID LOGIN... (a live whose roster is empty is open to every student)\n"
        "  live roster LIVE_ID\n"
        "  backup DEST              a consistent copy of the database, also while a server runs on it\n"
        "  replay list              the replays in --recordings: state, length, disk use\n"
        "  replay delete LIVE_ID\n"
        "  replay purge --older-than DAYS  delete replays made more than DAYS ago\n"
        "  --publish VERSION FILE   make FILE the installer of client VERSION"));
    parser.addHelpOption();
    const QCommandLineOption hostOpt(QStringLiteral("host"),
        QStringLiteral("IP address to listen on (default: 127.0.0.1)."), QStringLiteral("address"),
        QStringLiteral("127.0.0.1"));
    const QCommandLineOption portOpt(QStringLiteral("port"),
        QStringLiteral("App-server HTTP port (default: 8080; 0 picks a free one)."), QStringLiteral("port"),
        QStringLiteral("8080"));
    const QCommandLineOption livePortOpt(QStringLiteral("live-port"),
        QStringLiteral("Live relay WebSocket port (default: 8081; 0 picks a free one)."),
        QStringLiteral("port"), QStringLiteral("8081"));
    const QCommandLineOption dbOpt(QStringLiteral("db"),
        QStringLiteral("SQLite database file, created when missing (default: lectern.db)."),
        QStringLiteral("file"), QStringLiteral("lectern.db"));
    const QCommandLineOption downloadsOpt(QStringLiteral("downloads"),
        QStringLiteral("Folder served under /downloads/ (default: \"downloads\" beside the database)."),
        QStringLiteral("dir"));
    const QCommandLineOption publicUrlOpt(QStringLiteral("public-url"),
        QStringLiteral("Base URL clients download updates from (default: the Host they used)."),
        QStringLiteral("url"));
    const QCommandLineOption demoOpt(QStringLiteral("demo"),
        QStringLiteral("Add the demo school once: teachers teacher01 and teacher02, students student01 to "
                       "student12, all with password 123456, and lives in every state."));
    const QCommandLineOption publishOpt(QStringLiteral("publish"),
        QStringLiteral("Publish client VERSION with the installer FILE given after it, then exit."),
        QStringLiteral("version"));
    const QCommandLineOption liveGraceOpt(QStringLiteral("live-grace-ms"),
        QStringLiteral("How long the live relay keeps the place of a member whose connection dropped, for it "
                       "to resume (default: 15000; 0: members leave at once)."),
        QStringLiteral("ms"), QStringLiteral("15000"));
    const QCommandLineOption studentPageOpt(QStringLiteral("student-page"),
        QStringLiteral("Folder of the students' web page, served under /student/ (default: \"web/student\" "
                       "beside this program)."),
        QStringLiteral("dir"));
    const QCommandLineOption janusOpt(QStringLiteral("janus"),
        QStringLiteral("WebSocket URL of the Janus media server that lives' VideoRooms are created on, e.g. "
                       "ws://127.0.0.1:8188 (without it lives have no sound or video)."),
        QStringLiteral("url"));
    const QCommandLineOption janusKeyOpt(QStringLiteral("janus-admin-key"),
        QStringLiteral("The VideoRoom admin_key of the --janus server."), QStringLiteral("key"));
    const QCommandLineOption janusKeyFileOpt(QStringLiteral("janus-admin-key-file"),
        QStringLiteral("A file holding the --janus server's admin_key (out of sight of ps, unlike "
                       "--janus-admin-key)."),
        QStringLiteral("file"));
    const QCommandLineOption janusPublicOpt(QStringLiteral("janus-public-url"),
        QStringLiteral("The address clients reach the --janus server at (default: the --janus URL)."),
        QStringLiteral("url"));
    const QCommandLineOption janusAdminOpt(QStringLiteral("janus-admin-url"),
        QStringLiteral("The --janus server's Admin API, which hands out the members' tokens (default: the "
                       "--janus host, the next port, ws://)."),
        QStringLiteral("url"));
    const QCommandLineOption tlsCertOpt(QStringLiteral("tls-cert"),
        QStringLiteral("PEM certificate (then any intermediates): serve HTTPS and the relay over WSS with it "
                       "and --tls-key. Browsers allow the microphone only on secure pages."),
        QStringLiteral("file"));
    const QCommandLineOption tlsKeyOpt(QStringLiteral("tls-key"),
        QStringLiteral("The unencrypted PEM private key of --tls-cert."), QStringLiteral("file"));
    const QCommandLineOption metricsTokenOpt(QStringLiteral("metrics-token"),
        QStringLiteral(
            "Lets other addresses than the loopback read /healthz and /metrics with \"Authorization: "
            "Bearer TOKEN\" (best given in the --config file, out of sight of ps)."),
        QStringLiteral("token"));
    const QCommandLineOption recordingsOpt(QStringLiteral("recordings"),
        QStringLiteral(
            "Record every class on a media server of this host into a folder per live under DIR, "
            "and make and serve its replay (without it nothing is recorded). Janus must be allowed "
            "to write there (start-janus.sh --recordings DIR)."),
        QStringLiteral("dir"));
    QCommandLineOption olderThanOpt(
        QStringLiteral("older-than"), QStringLiteral("Days, for \"replay purge\"."), QStringLiteral("days"));
    olderThanOpt.setFlags(QCommandLineOption::HiddenFromHelp);
    const QCommandLineOption configOpt(QStringLiteral("config"),
        QStringLiteral("Read options from FILE, one \"key = value\" a line with the options' names as keys "
                       "(e.g. \"port = 8080\", \"demo = true\"); the command line wins over the file."),
        QStringLiteral("file"));
    const QList<QCommandLineOption> allOptions
        = { hostOpt, portOpt, livePortOpt, dbOpt, downloadsOpt, publicUrlOpt, demoOpt, publishOpt,
              liveGraceOpt, janusOpt, janusKeyOpt, janusKeyFileOpt, janusPublicOpt, janusAdminOpt,
              studentPageOpt, tlsCertOpt, tlsKeyOpt, metricsTokenOpt, recordingsOpt, configOpt };
    // The options given once for each media server.
    const QStringList repeatable = { janusOpt.names().first(), janusKeyOpt.names().first(),
        janusKeyFileOpt.names().first(), janusPublicOpt.names().first(), janusAdminOpt.names().first() };
    parser.addOptions(allOptions);
    parser.addOption(olderThanOpt);
    parser.addPositionalArgument(QStringLiteral("command"),
        QStringLiteral("user … | live … | backup … | replay … (see above)"), QStringLiteral("[command]"));
    parser.process(app);

    // Every option but the file itself and the one-off --publish is a key of the file; its settings
    // go before the command line's arguments, and any option the command line gives drops them.
    ConfigFile config;
    if (parser.isSet(configOpt)) {
        QList<QCommandLineOption> keys;
        for (const QCommandLineOption& o : allOptions)
            if (o.names() != configOpt.names() && o.names() != publishOpt.names())
                keys << o;
        QString why;
        if (!config.load(parser.value(configOpt), keys, repeatable, &why))
            return fail(why);
        const QStringList given = QCoreApplication::arguments();
        const QStringList fromFile
            = config.arguments([&parser](const QString& key) { return parser.isSet(key); });
        parser.process(given.mid(0, 1) + fromFile + given.mid(1));
        g_config = &config;
    }

    bool ok = false;
    const uint port = parser.value(portOpt).toUInt(&ok);
    if (!ok || port > 65535)
        return fail(QStringLiteral("bad --port %1").arg(parser.value(portOpt)));
    const uint livePort = parser.value(livePortOpt).toUInt(&ok);
    if (!ok || livePort > 65535)
        return fail(QStringLiteral("bad --live-port %1").arg(parser.value(livePortOpt)));
    const int liveGraceMs = parser.value(liveGraceOpt).toInt(&ok);
    if (!ok || liveGraceMs < 0)
        return fail(QStringLiteral("bad --live-grace-ms %1").arg(parser.value(liveGraceOpt)));
    const QHostAddress address(parser.value(hostOpt));
    if (address.isNull())
        return fail(QStringLiteral("--host takes an IP address, not %1").arg(parser.value(hostOpt)));

    QStringList janusKeys = parser.values(janusKeyOpt);
    if (parser.isSet(janusKeyFileOpt)) {
        if (!janusKeys.isEmpty())
            return fail(
                QStringLiteral("give the admin keys with --janus-admin-key or --janus-admin-key-file, "
                               "not both"));
        for (const QString& file : parser.values(janusKeyFileOpt)) {
            QString why;
            const std::optional<QString> key = readKeyFile(file, &why);
            if (!key)
                return fail(why);
            janusKeys << *key;
        }
    }
    QList<MediaServerConfig> janusServers;
    QString mediaError;
    if (!mediaServers(
            parser.values(janusOpt), janusKeys, parser.values(janusPublicOpt), &janusServers, &mediaError))
        return fail(mediaError);
    if (const QString unreachable = unreachableMedia(address, janusServers); !unreachable.isEmpty())
        return fail(unreachable);
    if (!mediaAdminUrls(parser.values(janusAdminOpt), &janusServers, &mediaError))
        return fail(mediaError);

    std::optional<tlspair::Pair> tls;
    if (parser.isSet(tlsCertOpt) != parser.isSet(tlsKeyOpt))
        return fail(QStringLiteral("--tls-cert and --tls-key go together"));
    if (parser.isSet(tlsCertOpt)) {
        QString tlsError;
        tls = tlspair::load(parser.value(tlsCertOpt), parser.value(tlsKeyOpt), &tlsError);
        if (!tls)
            return fail(tlsError);
    }

    AppServerOptions options;
    options.dbPath = parser.value(dbOpt);
    if (tls) {
        options.tlsCertPem = tls->certPem.toStdString();
        options.tlsKeyPem = tls->keyPem.toStdString();
    }
    options.downloadsDir = parser.isSet(downloadsOpt)
        ? parser.value(downloadsOpt)
        : QFileInfo(options.dbPath).absoluteDir().filePath(QStringLiteral("downloads"));
    options.publicUrl = parser.value(publicUrlOpt);
    options.metricsToken = parser.value(metricsTokenOpt).toStdString();
    if (parser.isSet(recordingsOpt)) {
        if (parser.value(recordingsOpt).isEmpty())
            return fail(QStringLiteral("--recordings takes a folder"));
        options.recordingsDir = QDir(parser.value(recordingsOpt)).absolutePath();
    }
    options.studentPageDir = parser.isSet(studentPageOpt)
        ? parser.value(studentPageOpt)
        : QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("web/student"));
    // Before the database is opened for serving: a backup only reads it, and never creates one.
    if (parser.positionalArguments().value(0) == QLatin1String("backup")) {
        const QStringList args = parser.positionalArguments();
        if (args.size() != 2)
            return fail(QStringLiteral("usage: backup DEST"));
        try {
            appserver::backupDatabase(options.dbPath.toStdString(), args[1].toStdString());
        } catch (const std::exception& e) {
            return fail(QString::fromStdString(e.what()));
        }
        out() << "backed up " << options.dbPath << " to " << args[1] << Qt::endl;
        return 0;
    }
    if (!QDir().mkpath(options.downloadsDir))
        return fail(QStringLiteral("cannot create the downloads folder %1").arg(options.downloadsDir));

    raiseOpenFileLimit();
    // Set before the app server starts: it calls this from its worker threads.
    LiveRelay* relayForEnds = nullptr;
    options.liveEnded = [&relayForEnds](quint32 roomId) {
        if (relayForEnds)
            QMetaObject::invokeMethod(
                relayForEnds, [relay = relayForEnds, roomId] { relay->closeRoom(roomId); },
                Qt::QueuedConnection);
    };
    Recorder* recorderForLives = nullptr;
    options.liveRecorded
        = [&recorderForLives](int64_t liveId, quint32 roomId, int64_t teacherId, bool begun) {
              if (recorderForLives)
                  QMetaObject::invokeMethod(
                      recorderForLives,
                      [recorder = recorderForLives, liveId, roomId, teacherId, begun] {
                          if (begun)
                              recorder->liveBegun(liveId, roomId, teacherId);
                          else
                              recorder->liveEnded(liveId, roomId);
                      },
                      Qt::QueuedConnection);
          };
    AppServer server(options);
    QString error;
    if (!server.open(&error))
        return fail(error);

    const QStringList args = parser.positionalArguments();
    try {
        if (parser.isSet(publishOpt)) {
            if (args.size() != 1)
                return fail(QStringLiteral("usage: --publish VERSION FILE"));
            return publish(server.store(), parser.value(publishOpt), args[0], options.downloadsDir);
        }
        if (!args.isEmpty()) {
            if (args[0] == QLatin1String("user"))
                return userCommand(server.store(), args);
            if (args[0] == QLatin1String("live"))
                return liveCommand(server.store(), args);
            if (args[0] == QLatin1String("replay"))
                return replayCommand(server.store(), args, options.recordingsDir, parser.value(olderThanOpt));
            return fail(QStringLiteral("unknown command %1 (try --help)").arg(args[0]));
        }
        if (parser.isSet(demoOpt) && server.store().seedDemo())
            out() << "demo school added: teacher01, student01 ... student12, password 123456" << Qt::endl;
    } catch (const AppError& e) {
        return fail(QString::fromUtf8(e.what()));
    } catch (const std::exception& e) {
        return fail(QString::fromUtf8(e.what()));
    }

    LiveRelay relay(server.liveSecret());
    relayForEnds = &relay;
    if (tls && !relay.useTls(tls->certPem, tls->keyPem, &error))
        return fail(QStringLiteral("live relay: %1").arg(error));
    MediaRooms mediaRooms(server.liveSecret(), janusServers);
    if (!janusServers.isEmpty())
        relay.setMediaRooms(&mediaRooms);
    std::unique_ptr<Recorder> recorder;
    std::unique_ptr<ReplayMaker> replays;
    if (!options.recordingsDir.isEmpty()) {
        AppStore& store = server.store();
        recorder = std::make_unique<Recorder>(options.recordingsDir, janusServers, [&store](quint32 roomId) {
            std::optional<Recorder::Live> live;
            try {
                if (const std::optional<appserver::LiveRecord> l = store.liveByRoom(roomId))
                    live = Recorder::Live { l->liveId, l->teacherId, l->state == "i" };
            } catch (const std::exception& e) {
                qWarning().noquote() << "recordings: cannot read the live of room" << roomId << e.what();
            }
            return live;
        });
        recorder->attach(&mediaRooms);
        relay.setFeedsDrawn([r = recorder.get()](quint32 roomId, const QString& userId, qint64 camera,
                                qint64 screen) { r->feedsDrawn(roomId, userId, camera, screen); });
        replays = std::make_unique<ReplayMaker>(options.recordingsDir);
        // Janus closes the recordings as the room goes: made a moment after the end.
        QObject::connect(
            recorder.get(), &Recorder::classEnded, replays.get(), [m = replays.get()](qint64 liveId) {
                QTimer::singleShot(3000, m, [m, liveId] { m->enqueue(liveId); });
            });
        recorder->closeEnded([&store](qint64 liveId) -> std::optional<qint64> {
            try {
                if (const std::optional<int64_t> ms = store.endedMs(liveId))
                    return qint64(*ms);
            } catch (const std::exception&) {
            }
            return std::nullopt;
        });
        replays->enqueueUnmade();
        recorderForLives = recorder.get();
        server.setReplayQueue([m = replays.get()] { return m->queued(); });
    }
    // Shared with the app server's worker threads, which may answer /metrics until server.stop().
    const auto relayMetrics = std::make_shared<RelayMetrics>(
        &relay, janusServers.isEmpty() ? nullptr : &mediaRooms, janusServers);
    server.setRelayMonitor(
        [relayMetrics] { return relayMetrics->text(); }, [relayMetrics] { return relayMetrics->problem(); });
    if (!server.listen(address.toString(), static_cast<quint16>(port), &error))
        return fail(error);
    relay.setRoomAccess([&server](const QString& userId, quint32 roomId, LiveRelay::RoomUse use) {
        return server.roomVerdict(userId, roomId, use);
    });
    relay.setClassRecord([&server, r = recorder.get()](const classfacts::Fact& fact) {
        if (r && fact.kind == classfacts::Kind::ChatLine)
            r->chatLine(fact.roomId, fact.userId, server.nicknameOf(fact.userId), fact.text);
        return server.classFact(fact);
    });
    relay.setGracePeriod(liveGraceMs);
    relay.setNameOf([&server](const QString& userId) { return server.nicknameOf(userId); });
    if (!relay.listen(address, static_cast<quint16>(livePort), &error))
        return fail(QStringLiteral("live relay: %1").arg(error));
    server.setLivePort(relay.port());
    relayMetrics->sample();
    const QString http = tls ? QStringLiteral("https://") : QStringLiteral("http://");
    out() << "app server on " << http << address.toString() << ':' << server.port() << AppServer::kRpcPath
          << '\n'
          << "live relay on " << (tls ? "wss://" : "ws://") << address.toString() << ':' << relay.port()
          << "/live" << '\n'
          << "downloads from " << QDir(options.downloadsDir).absolutePath() << Qt::endl;
    for (const MediaServerConfig& c : janusServers)
        out() << "media rooms on " << c.url.toString() << Qt::endl;
    out() << "students' page on " << http << address.toString() << ':' << server.port() << "/student/"
          << Qt::endl;

    quitOnSignals(app);
    const int code = app.exec();
    recorderForLives = nullptr;
    relay.close();
    server.stop();
    return code;
}
