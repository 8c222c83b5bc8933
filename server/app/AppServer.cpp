#include "AppServer.h"
#include "ServerStats.h"
#include "ByteRange.h"
#include "RpcRequest.h"

#include "common/ReplayFolder.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QLocale>

#include <json/json.h>
#include <microhttpd.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <limits>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace appserver {

namespace {

    const char* const kJsonType = "application/json; charset=utf-8";

    const Json::StreamWriterBuilder& jsonWriter()
    {
        static const Json::StreamWriterBuilder builder = [] {
            Json::StreamWriterBuilder b;
            b["indentation"] = "";
            b["emitUTF8"] = true;
            return b;
        }();
        return builder;
    }

    // What a caller sent, fit for one log line: control characters would let it forge lines.
    std::string printable(const std::string& text, size_t max = 128)
    {
        std::string out;
        out.reserve(std::min(text.size(), max) + 8);
        for (size_t i = 0; i < text.size() && i < max; ++i) {
            const unsigned char c = static_cast<unsigned char>(text[i]);
            if (c < 0x20 || c == 0x7f) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
                out += escaped;
            } else {
                out += static_cast<char>(c);
            }
        }
        if (text.size() > max)
            out += "...";
        return out;
    }

    std::string header(MHD_Connection* c, const char* name)
    {
        const char* v = MHD_lookup_connection_value(c, MHD_HEADER_KIND, name);
        return v ? std::string(v) : std::string();
    }

    std::string clientAddress(MHD_Connection* c)
    {
        const MHD_ConnectionInfo* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
        if (!info || !info->client_addr)
            return "-";
        char text[INET6_ADDRSTRLEN] = {};
        const sockaddr* sa = info->client_addr;
        if (sa->sa_family == AF_INET)
            inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(sa)->sin_addr, text, sizeof text);
        else if (sa->sa_family == AF_INET6)
            inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(sa)->sin6_addr, text, sizeof text);
        return text;
    }

    void freeBody(void* body)
    {
        delete static_cast<std::string*>(body);
    }

    // Every answer over HTTPS tells the browser to come back over HTTPS only.
    MHD_Result queue(MHD_Connection* c, unsigned status, MHD_Response* r)
    {
        if (MHD_get_connection_info(c, MHD_CONNECTION_INFO_GNUTLS_SESSION))
            MHD_add_response_header(r, "Strict-Transport-Security", "max-age=31536000");
        return MHD_queue_response(c, status, r);
    }

    // The body is handed over, not copied: list answers run to hundreds of kilobytes.
    MHD_Result answer(MHD_Connection* c, unsigned status, std::string body, const char* type,
        const std::vector<std::pair<std::string, std::string>>& headers = {})
    {
        auto* kept = new std::string(std::move(body));
        MHD_Response* r = MHD_create_response_from_buffer_with_free_callback_cls(
            kept->size(), kept->data(), &freeBody, kept);
        if (!r) {
            delete kept;
            return MHD_NO;
        }
        MHD_add_response_header(r, "Content-Type", type);
        for (const auto& [name, value] : headers)
            MHD_add_response_header(r, name.c_str(), value.c_str());
        const MHD_Result ok = queue(c, status, r);
        MHD_destroy_response(r);
        return ok;
    }

    std::string statusText(unsigned status)
    {
        switch (status) {
        case 301:
            return "301 Moved Permanently\n";
        case 403:
            return "403 Forbidden\n";
        case 404:
            return "404 Not Found\n";
        case 405:
            return "405 Method Not Allowed\n";
        case 416:
            return "416 Range Not Satisfiable\n";
        case 431:
            return "431 Request Header Fields Too Large\n";
        case 503:
            return "503 Service Unavailable\n";
        default:
            return std::to_string(status) + "\n";
        }
    }

    std::string httpDate(int64_t secs)
    {
        return QLocale::c()
                   .toString(QDateTime::fromSecsSinceEpoch(secs, Qt::UTC),
                       QStringLiteral("ddd, dd MMM yyyy hh:mm:ss"))
                   .toStdString()
            + " GMT";
    }

    // The kinds of file the page folder serves; anything else there is not served at all.
    const char* pageFileType(const std::string& name)
    {
        static const std::pair<const char*, const char*> kTypes[] = {
            { ".html", "text/html; charset=utf-8" },
            { ".js", "text/javascript; charset=utf-8" },
            { ".css", "text/css; charset=utf-8" },
            { ".json", "application/json; charset=utf-8" },
            { ".svg", "image/svg+xml" },
            { ".png", "image/png" },
            { ".ico", "image/x-icon" },
            { ".woff2", "font/woff2" },
        };
        for (const auto& [suffix, type] : kTypes) {
            const size_t n = std::strlen(suffix);
            if (name.size() > n && name.compare(name.size() - n, n, suffix) == 0)
                return type;
        }
        return nullptr;
    }

    // A path below the page folder made of plain names only (the library has already decoded
    // %-escapes): no empty, hidden, "." or ".." segments, no backslashes or control characters.
    bool plainPagePath(const std::string& path)
    {
        if (path.empty() || path.size() > 200)
            return false;
        size_t start = 0;
        while (start <= path.size()) {
            const size_t end = std::min(path.find('/', start), path.size());
            if (end == start || path[start] == '.')
                return false;
            for (size_t i = start; i < end; ++i) {
                const char ch = path[i];
                if (!std::isalnum(static_cast<unsigned char>(ch)) && ch != '.' && ch != '_' && ch != '-')
                    return false;
            }
            start = end + 1;
        }
        return true;
    }

    MHD_Result countHeader(void* cls, MHD_ValueKind, const char*, const char*)
    {
        ++*static_cast<int*>(cls);
        return MHD_YES;
    }

    // Opens the regular file name inside folder dir for reading; its real path (links followed) must
    // stay inside the folder. Returns the descriptor, or -1 with *status 404 (not there, or outside)
    // or 403 (not a readable regular file, or over maxBytes).
    int openInside(
        const QString& dirPath, const std::string& name, int64_t maxBytes, struct stat* st, int* status)
    {
        const QDir dir(dirPath);
        const QFileInfo info(dir.filePath(QString::fromStdString(name)));
        const QString root = QFileInfo(dir.absolutePath()).canonicalFilePath();
        const QString real = info.canonicalFilePath();
        if (root.isEmpty() || real.isEmpty() || !real.startsWith(root + QLatin1Char('/')) || !info.isFile()) {
            *status = 404;
            return -1;
        }
        const int fd = ::open(real.toLocal8Bit().constData(), O_RDONLY | O_CLOEXEC);
        *st = {};
        if (fd < 0 || ::fstat(fd, st) != 0 || !S_ISREG(st->st_mode) || st->st_size > maxBytes) {
            if (fd >= 0)
                ::close(fd);
            *status = 403;
            return -1;
        }
        return fd;
    }

} // namespace

// What one request carries between the library's calls for it.
struct Exchange {
    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
    std::string method;
    bool rpc = false;
    bool refused = false; // the body passed the limit: nothing more of it is kept
    size_t received = 0;
    std::string body;
    std::string address; // holds a download slot while set
};

struct AppServer::Http {
    static MHD_Result onRequest(void* cls, MHD_Connection* c, const char* url, const char* method,
        const char* version, const char* upload, size_t* uploadSize, void** state);
    static void onCompleted(void* cls, MHD_Connection* c, void** state, MHD_RequestTerminationCode why);
    static void onLibraryLog(void* cls, const char* format, va_list ap);
    static MHD_Result handleRpc(AppServer* self, MHD_Connection* c, Exchange* ex);
    static MHD_Result answerRpcRefusal(AppServer* self, MHD_Connection* c, const char* message);
    static MHD_Result handleDownload(
        AppServer* self, MHD_Connection* c, Exchange* ex, const std::string& name, const std::string& verb);
    static MHD_Result handleReplay(
        AppServer* self, MHD_Connection* c, Exchange* ex, const std::string& path, const std::string& verb);
    // A file of dir with byte ranges: installers, replays.
    static MHD_Result serveFile(AppServer* self, MHD_Connection* c, Exchange* ex, const QString& dir,
        const std::string& name, const std::string& verb, const std::string& logPath, const char* type);
    static MHD_Result handleStudentPage(
        AppServer* self, MHD_Connection* c, Exchange* ex, const std::string& path, const std::string& verb);
    static MHD_Result handleMonitoring(AppServer* self, MHD_Connection* c, const std::string& path);
};

AppServer::AppServer(AppServerOptions options)
    : m_options(std::move(options))
    , m_stats(std::make_unique<ServerStats>())
    , m_logins(m_options.login)
{
}

AppServer::~AppServer()
{
    stop();
}

bool AppServer::open(QString* error)
{
    try {
        auto store = std::make_unique<AppStore>(m_options.dbPath.toStdString(), m_options.clockMs);
        store->open();
        if (!store->exposureWarning().empty())
            qWarning().noquote() << "warning:" << QString::fromStdString(store->exposureWarning());
        m_secret = QByteArray::fromStdString(store->liveSecret());
        auto classes = std::make_unique<ClassStore>(m_options.dbPath.toStdString(), m_options.clockMs);
        classes->open();
        m_store = std::move(store);
        m_classes = std::move(classes);
        return true;
    } catch (const std::exception& e) {
        if (error)
            *error = QString::fromStdString(e.what());
        return false;
    }
}

// Our own listening socket: bound exclusively (SO_REUSEADDR only, never SO_REUSEPORT, so a second
// server on a busy port fails instead of sharing it) with a backlog a whole class can arrive in.
static int listenSocket(const QString& host, quint16 port, int backlog, int sendBuffer, QString* error)
{
    sockaddr_storage addr = {};
    socklen_t len = 0;
    const std::string h = host.toStdString();
    auto* v4 = reinterpret_cast<sockaddr_in*>(&addr);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&addr);
    if (inet_pton(AF_INET, h.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        len = sizeof *v4;
    } else if (inet_pton(AF_INET6, h.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        len = sizeof *v6;
    } else {
        *error = QStringLiteral("cannot listen on %1: not an IP address").arg(host);
        return -1;
    }
    const int fd = ::socket(addr.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = QStringLiteral("cannot open a socket: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        return -1;
    }
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    // Connections inherit this. The kernel wakes a writer only when half its send buffer is free:
    // with the buffer loopback would grow to, a slow reader could drain for many seconds before the
    // next write, and a reader that keeps making progress would look idle.
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
    // Headers and body may go out in separate writes; without this an answer can wait on a delayed ACK.
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 || ::listen(fd, backlog) != 0) {
        const int e = errno;
        ::close(fd);
        *error = e == EADDRINUSE ? QStringLiteral("port in use: %1:%2").arg(host).arg(port)
                                 : QStringLiteral("cannot listen on %1:%2: %3")
                                       .arg(host)
                                       .arg(port)
                                       .arg(QString::fromLocal8Bit(std::strerror(e)));
        return -1;
    }
    return fd;
}

bool AppServer::listen(const QString& host, quint16 port, QString* error)
{
    if (!m_store && !open(error))
        return false;
    stop();
    QString why;
    const int fd = listenSocket(host, port, m_options.listenBacklog, m_options.sendBufferBytes, &why);
    if (fd < 0) {
        if (error)
            *error = why;
        return false;
    }
    sockaddr_storage bound = {};
    socklen_t len = sizeof bound;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len);
    m_port = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                               : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);

    // Event-driven: a slow or idle connection costs a socket and its memory pool, never a thread.
    // Headers (their count and size) must fit the per-connection pool.
    const bool secure = !m_options.tlsCertPem.empty() && !m_options.tlsKeyPem.empty();
    const unsigned flags
        = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_USE_ERROR_LOG | (secure ? MHD_USE_TLS : 0);
    // The handshake counts against the idle timeout, so one that never finishes frees its slot.
    MHD_OptionItem tls[] = {
        { MHD_OPTION_HTTPS_MEM_CERT, 0, const_cast<char*>(m_options.tlsCertPem.c_str()) },
        { MHD_OPTION_HTTPS_MEM_KEY, 0, const_cast<char*>(m_options.tlsKeyPem.c_str()) },
        // TLS 1.0 and 1.1 are broken; the relay's WSS refuses them too.
        { MHD_OPTION_HTTPS_PRIORITIES, 0, const_cast<char*>("NORMAL:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2") },
        { MHD_OPTION_END, 0, nullptr },
    };
    // The logger comes first, so even the library's complaints about later options go to our log.
    m_daemon = MHD_start_daemon(flags, 0, nullptr, nullptr, &Http::onRequest, this, //
        MHD_OPTION_EXTERNAL_LOGGER, &Http::onLibraryLog, this, //
        MHD_OPTION_LISTEN_SOCKET, fd, //
        MHD_OPTION_THREAD_POOL_SIZE, static_cast<unsigned>(std::max(1, m_options.workerThreads)), //
        MHD_OPTION_CONNECTION_LIMIT, static_cast<unsigned>(m_options.maxConnections), //
        MHD_OPTION_PER_IP_CONNECTION_LIMIT, static_cast<unsigned>(m_options.maxConnectionsPerAddress), //
        MHD_OPTION_CONNECTION_TIMEOUT, static_cast<unsigned>(m_options.idleTimeoutSecs), //
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<size_t>(m_options.maxHeaderBytes), //
        MHD_OPTION_NOTIFY_COMPLETED, &Http::onCompleted, this, //
        MHD_OPTION_ARRAY, secure ? tls : tls + 3, //
        MHD_OPTION_END);
    if (!m_daemon) {
        ::close(fd);
        if (error)
            *error = QStringLiteral("cannot start serving on %1:%2").arg(host).arg(m_port);
        return false;
    }
    return true;
}

void AppServer::stop()
{
    if (m_daemon) {
        MHD_stop_daemon(m_daemon);
        m_daemon = nullptr;
    }
}

void AppServer::Http::onLibraryLog(void* cls, const char* format, va_list ap)
{
    char text[512];
    std::vsnprintf(text, sizeof text, format, ap);
    std::string line(text);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    static_cast<AppServer*>(cls)->logLine("http: " + printable(line, 256));
}

void AppServer::Http::onCompleted(void* cls, MHD_Connection*, void** state, MHD_RequestTerminationCode)
{
    auto* self = static_cast<AppServer*>(cls);
    auto* ex = static_cast<Exchange*>(*state);
    if (!ex)
        return;
    self->m_stats->requestDone(
        ex->method, std::chrono::duration<double>(std::chrono::steady_clock::now() - ex->started).count());
    if (!ex->address.empty()) {
        std::lock_guard<std::mutex> g(self->m_downloadsMutex);
        auto it = self->m_downloadsByAddress.find(ex->address);
        if (it != self->m_downloadsByAddress.end() && --it->second <= 0)
            self->m_downloadsByAddress.erase(it);
    }
    delete ex;
    *state = nullptr;
}

MHD_Result AppServer::Http::onRequest(void* cls, MHD_Connection* c, const char* url, const char* method,
    const char*, const char* upload, size_t* uploadSize, void** state)
{
    auto* self = static_cast<AppServer*>(cls);
    auto* ex = static_cast<Exchange*>(*state);
    const std::string path = url ? url : "";
    const std::string verb = method ? method : "";
    if (!ex) {
        ex = new Exchange;
        ex->method = verb;
        *state = ex;
        int headers = 0;
        MHD_get_connection_values(c, MHD_HEADER_KIND, &countHeader, &headers);
        if (headers > self->m_options.maxHeaderCount)
            return answer(c, 431, statusText(431), "text/plain; charset=utf-8");
        ex->rpc = path == kRpcPath && verb == "POST";
        if (ex->rpc) {
            // A body declared far past the limit is refused before a byte of it is read.
            const std::string declared = header(c, "Content-Length");
            if (!declared.empty()
                && (declared.size() > 18 || std::stoll("0" + declared) > int64_t(self->discardLimit())))
                return answerRpcRefusal(self, c, "请求内容过大");
            return MHD_YES;
        }
        if (path.rfind("/downloads/", 0) == 0 && (verb == "GET" || verb == "HEAD"))
            return handleDownload(self, c, ex, path.substr(std::strlen("/downloads/")), verb);
        if (path.rfind("/replays/", 0) == 0 && (verb == "GET" || verb == "HEAD"))
            return handleReplay(self, c, ex, path, verb);
        if (path == "/student" || path.rfind("/student/", 0) == 0)
            return handleStudentPage(self, c, ex, path, verb);
        if ((path == "/healthz" || path == "/metrics") && verb == "GET")
            return handleMonitoring(self, c, path);
        if (path == kRpcPath)
            return answer(c, 405, statusText(405), "text/plain; charset=utf-8", { { "Allow", "POST" } });
        return answer(c, 404, statusText(404), "text/plain; charset=utf-8");
    }
    if (!ex->rpc)
        return MHD_YES; // a body nobody asked for
    if (*uploadSize > 0) {
        // Counted as the bytes arrive, whatever the framing. Past the limit nothing more is kept; a
        // little more is read and dropped so the client still gets its answer, and past that the
        // connection ends.
        ex->received += *uploadSize;
        if (ex->received > self->m_options.maxBodyBytes) {
            ex->refused = true;
            ex->body.clear();
            ex->body.shrink_to_fit();
            if (ex->received > self->discardLimit()) {
                self->logLine("jsonrpc - user=- error " + std::to_string(ErrorCode::InvalidRequest)
                    + " (body over " + std::to_string(self->discardLimit()) + " bytes, connection closed)");
                return MHD_NO;
            }
        } else {
            ex->body.append(upload, *uploadSize);
        }
        *uploadSize = 0;
        return MHD_YES;
    }
    if (ex->refused)
        return answerRpcRefusal(self, c, "请求内容过大");
    return handleRpc(self, c, ex);
}

MHD_Result AppServer::Http::answerRpcRefusal(AppServer* self, MHD_Connection* c, const char* message)
{
    Json::Value answerObject(Json::objectValue);
    answerObject["jsonrpc"] = "2.0";
    answerObject["id"] = Json::nullValue;
    answerObject["error"]["code"] = ErrorCode::InvalidRequest;
    answerObject["error"]["message"] = message;
    self->logLine(
        "jsonrpc - user=- error " + std::to_string(ErrorCode::InvalidRequest) + " (" + message + ")");
    return answer(c, 200, Json::writeString(jsonWriter(), answerObject), kJsonType);
}

// Monitoring tells the load and the state of the school: the loopback (a collector on this machine)
// may read it, other addresses only with the configured token.
MHD_Result AppServer::Http::handleMonitoring(AppServer* self, MHD_Connection* c, const std::string& path)
{
    const std::string from = clientAddress(c);
    const bool loopback = self->m_options.monitoringFromLoopback
        && (from.rfind("127.", 0) == 0 || from == "::1" || from.rfind("::ffff:127.", 0) == 0);
    const std::string& token = self->m_options.metricsToken;
    const std::string given = header(c, "Authorization");
    const std::string expected = "Bearer " + token;
    // Compared in full whatever the first difference, so the time taken tells nothing of the token.
    unsigned char differs = given.size() != expected.size();
    for (size_t i = 0; i < given.size() && i < expected.size(); ++i)
        differs |= static_cast<unsigned char>(given[i] ^ expected[i]);
    if (!loopback && (token.empty() || differs)) {
        if (token.empty())
            return answer(c, 403, statusText(403), "text/plain; charset=utf-8");
        return answer(
            c, 401, statusText(401), "text/plain; charset=utf-8", { { "WWW-Authenticate", "Bearer" } });
    }
    const auto [status, body] = self->monitoring(path);
    return answer(c, static_cast<unsigned>(status), body,
        path == "/metrics" ? "text/plain; version=0.0.4; charset=utf-8" : "text/plain; charset=utf-8",
        { { "Cache-Control", "no-store" } });
}

void AppServer::logLine(const std::string& text)
{
    if (m_options.logRequests)
        qInfo().noquote() << QString::fromStdString(text);
}
std::optional<int> AppServer::compareVersions(const std::string& a, const std::string& b)
{
    auto split = [](const std::string& v, std::string* app, std::vector<long>* parts) {
        const size_t us = v.rfind('_');
        if (us == std::string::npos || us == 0 || us + 1 >= v.size())
            return false;
        *app = v.substr(0, us);
        size_t i = us + 1;
        while (i <= v.size()) {
            const size_t dot = std::min(v.find('.', i), v.size());
            if (dot == i || dot - i > 9)
                return false;
            long n = 0;
            for (size_t k = i; k < dot; ++k) {
                if (v[k] < '0' || v[k] > '9')
                    return false;
                n = n * 10 + (v[k] - '0');
            }
            parts->push_back(n);
            i = dot + 1;
        }
        return true;
    };
    std::string appA;
    std::string appB;
    std::vector<long> pa;
    std::vector<long> pb;
    if (!split(a, &appA, &pa) || !split(b, &appB, &pb) || appA != appB)
        return std::nullopt;
    const size_t n = std::max(pa.size(), pb.size());
    pa.resize(n, 0);
    pb.resize(n, 0);
    for (size_t i = 0; i < n; ++i) {
        if (pa[i] != pb[i])
            return pa[i] < pb[i] ? -1 : 1;
    }
    return 0;
}

MHD_Result AppServer::Http::handleRpc(AppServer* self, MHD_Connection* c, Exchange* ex)
{
    std::string body;
    body.swap(ex->body);
    std::string text = self->answerBody(body.data(), body.size(), header(c, "Host"), clientAddress(c));
    body = std::string();
    return answer(c, 200, std::move(text), kJsonType);
}

std::string AppServer::answerBody(
    const char* data, size_t size, const std::string& host, const std::string& address)
{
    const RpcBody body = parseRpcBody(data, size);
    if (!body.batch && body.calls.size() == 1)
        return answerCall(body.calls.front(), host, address);
    std::string text;
    if (body.batch)
        text += '[';
    for (size_t i = 0; i < body.calls.size(); ++i) {
        if (i)
            text += ',';
        text += answerCall(body.calls[i], host, address);
    }
    if (body.batch)
        text += ']';
    return text;
}

std::string AppServer::answerCall(
    const RpcRequest& request, const std::string& host, const std::string& address)
{
    const auto started = std::chrono::steady_clock::now();
    Call call;
    call.method = request.method;
    call.params = request.params;
    call.host = host;
    call.address = address;
    Json::Value reply(Json::objectValue);
    reply["jsonrpc"] = "2.0";
    reply["id"] = request.id;
    int errorCode = request.error;
    if (errorCode) {
        reply["error"]["code"] = errorCode;
        reply["error"]["message"] = request.message;
    } else {
        try {
            reply["result"] = dispatch(call);
        } catch (const AppError& e) {
            errorCode = e.code;
            reply["error"]["code"] = e.code;
            reply["error"]["message"] = e.what();
        } catch (const std::exception& e) {
            errorCode = ErrorCode::Internal;
            reply["error"]["code"] = ErrorCode::Internal;
            reply["error"]["message"] = "服务器内部错误，请稍后再试";
            logLine("internal error in " + printable(call.method) + ": " + printable(e.what(), 512));
        }
    }
    std::string text;
    if (errorCode == 0 && !call.rawResult.empty()) {
        const std::string id = Json::writeString(jsonWriter(), reply["id"]);
        text.reserve(call.rawResult.size() + id.size() + 40);
        text.append("{\"id\":")
            .append(id)
            .append(",\"jsonrpc\":\"2.0\",\"result\":")
            .append(call.rawResult)
            .append("}");
    } else {
        text = Json::writeString(jsonWriter(), reply);
    }

    const double ms
        = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
    char tail[64];
    std::snprintf(tail, sizeof tail, " %.2f ms", ms);
    logLine("jsonrpc " + (call.method.empty() ? std::string("-") : printable(call.method))
        + " user=" + printable(call.who) + " "
        + (errorCode ? "error " + std::to_string(errorCode) : std::string("ok")) + tail);
    return text;
}

MHD_Result AppServer::Http::handleDownload(
    AppServer* self, MHD_Connection* c, Exchange* ex, const std::string& name, const std::string& verb)
{
    return serveFile(self, c, ex, self->m_options.downloadsDir, name, verb, "/downloads/" + name,
        "application/octet-stream");
}

// /replays/<liveId>/<file>?u=<userId>&e=<expiry>&s=<signature>, as live.replay.list handed it out.
MHD_Result AppServer::Http::handleReplay(
    AppServer* self, MHD_Connection* c, Exchange* ex, const std::string& path, const std::string& verb)
{
    const auto arg = [c](const char* key) {
        const char* v = MHD_lookup_connection_value(c, MHD_GET_ARGUMENT_KIND, key);
        return v ? std::string(v) : std::string();
    };
    const std::string rest = path.substr(std::strlen("/replays/"));
    const size_t slash = rest.find('/');
    const std::string id = rest.substr(0, slash);
    const std::string file = slash == std::string::npos ? std::string() : rest.substr(slash + 1);
    const bool known = file == replayfolder::kVideoFile || file == replayfolder::kReplayFile;
    const bool plainId
        = !id.empty() && id.size() <= 18 && id.find_first_not_of("0123456789") == std::string::npos;
    if (self->m_options.recordingsDir.isEmpty() || !known || !plainId) {
        self->logLine(verb + " " + printable(path) + " 404");
        return answer(c, 404, statusText(404), "text/plain; charset=utf-8");
    }
    const int64_t liveId = std::stoll(id);
    if (!self->replayUrlValid(liveId, arg("u"), arg("e"), arg("s"))) {
        self->logLine(verb + " " + printable(path) + " 403");
        return answer(c, 403, statusText(403), "text/plain; charset=utf-8");
    }
    if (!replayfolder::isReady(self->m_options.recordingsDir, liveId)) {
        self->logLine(verb + " " + printable(path) + " 404");
        return answer(c, 404, statusText(404), "text/plain; charset=utf-8");
    }
    return serveFile(self, c, ex, replayfolder::liveDir(self->m_options.recordingsDir, liveId), file, verb,
        "/replays/" + id + "/" + file + " user=" + printable(arg("u")),
        file == replayfolder::kVideoFile ? "video/webm" : "application/json");
}

MHD_Result AppServer::Http::serveFile(AppServer* self, MHD_Connection* c, Exchange* ex, const QString& dir,
    const std::string& name, const std::string& verb, const std::string& logPath, const char* type)
{
    auto finish = [&](unsigned status, const std::string& detail) {
        const double ms
            = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - ex->started)
                  .count();
        char tail[64];
        std::snprintf(tail, sizeof tail, " %.2f ms", ms);
        self->logLine(verb + " " + printable(logPath) + " " + std::to_string(status)
            + (detail.empty() ? std::string() : " " + printable(detail)) + tail);
    };
    auto refuse = [&](unsigned status, const std::string& detail = std::string(),
                      const std::vector<std::pair<std::string, std::string>>& headers = {}) {
        finish(status, detail);
        return answer(c, status, statusText(status), "text/plain; charset=utf-8", headers);
    };

    // A plain file name in the downloads folder: no separators, no hidden or partial files.
    const bool plain = !name.empty() && name.size() <= 255 && name[0] != '.'
        && name.find_first_of(std::string("/\\\0", 3)) == std::string::npos;
    if (dir.isEmpty() || !plain)
        return refuse(404);
    struct stat st;
    int refusal = 0;
    const int fd = openInside(dir, name, std::numeric_limits<int64_t>::max(), &st, &refusal);
    if (fd < 0)
        return refuse(refusal);
    const int64_t size = st.st_size;
    char tag[64];
    std::snprintf(tag, sizeof tag, "\"%llx-%llx\"", static_cast<unsigned long long>(size),
        static_cast<unsigned long long>(st.st_mtim.tv_sec) * 1000000000ULL
            + static_cast<unsigned long long>(st.st_mtim.tv_nsec));
    const std::string etag = tag;
    const std::string lastModified = httpDate(st.st_mtim.tv_sec);
    std::string rangeHeader = header(c, "Range");
    // A range of a file that changed since the client's copy would splice two versions: send it whole.
    const std::string ifRange = header(c, "If-Range");
    if (!ifRange.empty() && ifRange != etag && ifRange != lastModified)
        rangeHeader.clear();
    const ByteRange range = ByteRange::parse(rangeHeader, size);
    std::vector<std::pair<std::string, std::string>> headers
        = { { "Accept-Ranges", "bytes" }, { "ETag", etag }, { "Last-Modified", lastModified } };
    if (range.kind == ByteRange::Unsatisfiable) {
        ::close(fd);
        headers.emplace_back("Content-Range", "bytes */" + std::to_string(size));
        return refuse(416, rangeHeader, headers);
    }

    // One address holding many downloads at once is refused more, so it cannot take every connection.
    const std::string address = clientAddress(c);
    {
        std::lock_guard<std::mutex> g(self->m_downloadsMutex);
        int& held = self->m_downloadsByAddress[address];
        if (held >= self->m_options.maxDownloadsPerAddress) {
            ::close(fd);
            headers = { { "Retry-After", "10" } };
            return refuse(503, "too many downloads from " + address, headers);
        }
        ++held;
        ex->address = address;
    }

    const int64_t first = range.kind == ByteRange::Partial ? range.first : 0;
    const int64_t length = range.kind == ByteRange::Partial ? range.last - range.first + 1 : size;
    if (range.kind == ByteRange::Partial)
        headers.emplace_back("Content-Range",
            "bytes " + std::to_string(range.first) + "-" + std::to_string(range.last) + "/"
                + std::to_string(size));
    // The library sends straight from the file as the reader takes it.
    MHD_Response* r = length > 0 ? MHD_create_response_from_fd_at_offset64(
                          static_cast<uint64_t>(length), fd, static_cast<uint64_t>(first))
                                 : MHD_create_response_from_buffer(0, nullptr, MHD_RESPMEM_PERSISTENT);
    if (length == 0)
        ::close(fd);
    if (!r)
        return MHD_NO;
    MHD_add_response_header(r, "Content-Type", type);
    for (const auto& [n, v] : headers)
        MHD_add_response_header(r, n.c_str(), v.c_str());
    const unsigned status = range.kind == ByteRange::Partial ? 206 : 200;
    const MHD_Result ok = queue(c, status, r);
    MHD_destroy_response(r);
    finish(status, range.kind == ByteRange::Partial ? rangeHeader : std::string());
    return ok;
}

MHD_Result AppServer::Http::handleStudentPage(
    AppServer* self, MHD_Connection* c, Exchange* ex, const std::string& path, const std::string& verb)
{
    const std::string text = "text/plain; charset=utf-8";
    auto finish = [&](unsigned status) {
        const double ms
            = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - ex->started)
                  .count();
        char tail[64];
        std::snprintf(tail, sizeof tail, " %.2f ms", ms);
        self->logLine(printable(verb, 16) + " " + printable(path) + " " + std::to_string(status) + tail);
    };
    auto refuse = [&](unsigned status, const std::vector<std::pair<std::string, std::string>>& headers = {}) {
        finish(status);
        return answer(c, status, statusText(status), text.c_str(), headers);
    };
    if (verb != "GET" && verb != "HEAD")
        return refuse(405, { { "Allow", "GET, HEAD" } });
    if (self->m_options.studentPageDir.isEmpty())
        return refuse(404);
    if (path == "/student") // relative links in the page need the folder's slash
        return refuse(301, { { "Location", "/student/" } });

    // Nothing here may be framed or sniffed; the page itself runs only its own files.
    std::vector<std::pair<std::string, std::string>> headers = { { "X-Content-Type-Options", "nosniff" },
        { "Cache-Control", "no-cache" }, { "Referrer-Policy", "no-referrer" } };
    std::string rest = path.substr(std::strlen("/student/"));
    if (rest == "config.json") {
        // Where the page finds the live relay: the same host, the relay's port.
        const std::string body = "{\"livePort\":" + std::to_string(self->m_livePort.load()) + "}";
        finish(200);
        return answer(c, 200, verb == "HEAD" ? std::string() : body, kJsonType, headers);
    }
    if (rest.empty())
        rest = "index.html";
    const char* type = pageFileType(rest);
    if (!type || !plainPagePath(rest))
        return refuse(404);
    // The page's own files are small; anything big in the folder is a mistake, not something to send.
    const int64_t kMaxPageFileBytes = 8 << 20;
    struct stat st;
    int status = 0;
    const int fd = openInside(self->m_options.studentPageDir, rest, kMaxPageFileBytes, &st, &status);
    if (fd < 0)
        return refuse(status);
    if (rest.size() > 5 && rest.compare(rest.size() - 5, 5, ".html") == 0) {
        headers.emplace_back("Content-Security-Policy",
            "default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self' data:;"
            " media-src 'self' blob: mediastream:; connect-src 'self' ws: wss:; frame-ancestors 'none';"
            " base-uri 'none'; form-action 'none'");
        headers.emplace_back("X-Frame-Options", "DENY");
    }
    MHD_Response* r = st.st_size > 0
        ? MHD_create_response_from_fd_at_offset64(static_cast<uint64_t>(st.st_size), fd, 0)
        : MHD_create_response_from_buffer(0, nullptr, MHD_RESPMEM_PERSISTENT);
    if (st.st_size == 0)
        ::close(fd);
    if (!r)
        return MHD_NO;
    MHD_add_response_header(r, "Content-Type", type);
    for (const auto& [n, v] : headers)
        MHD_add_response_header(r, n.c_str(), v.c_str());
    const MHD_Result ok = queue(c, 200, r);
    MHD_destroy_response(r);
    finish(200);
    return ok;
}

} // namespace appserver
