#include "AppServer.h"
#include "ByteRange.h"
#include "JsonText.h"

#include "common/UserSig.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QUrl>

#include <SQLiteCpp/Exception.h>
#include <httplib.h>
#include <json/json.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <fstream>
#include <vector>

namespace appserver {

namespace {

    const char* const kJsonType = "application/json; charset=utf-8";

    std::string statusText(int status)
    {
        switch (status) {
        case 403:
            return "403 Forbidden\n";
        case 404:
            return "404 Not Found\n";
        case 413:
            return "413 Payload Too Large\n";
        case 416:
            return "416 Range Not Satisfiable\n";
        default:
            return std::to_string(status) + "\n";
        }
    }

    const std::string& writeJson(const Json::Value& v, std::string* out)
    {
        static const Json::StreamWriterBuilder builder = [] {
            Json::StreamWriterBuilder b;
            b["indentation"] = "";
            b["emitUTF8"] = true;
            return b;
        }();
        *out = Json::writeString(builder, v);
        return *out;
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

} // namespace

AppServer::AppServer(AppServerOptions options)
    : m_options(std::move(options))
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
        m_secret = QByteArray::fromStdString(store->liveSecret());
        m_store = std::move(store);
        return true;
    } catch (const std::exception& e) {
        if (error)
            *error = QString::fromStdString(e.what());
        return false;
    }
}

bool AppServer::listen(const QString& host, quint16 port, QString* error)
{
    if (!m_store && !open(error))
        return false;
    stop();
    m_http = std::make_unique<httplib::Server>();
    httplib::Server& http = *m_http;
    const int threads = std::max(1, m_options.workerThreads);
    http.new_task_queue = [threads] { return new httplib::ThreadPool(static_cast<size_t>(threads)); };
    http.set_payload_max_length(m_options.maxBodyBytes);
    http.set_keep_alive_max_count(1000);
    // Headers and body go out in separate writes; without this each answer waits on a delayed ACK.
    http.set_tcp_nodelay(true);
    http.set_read_timeout(10, 0);
    http.set_write_timeout(10, 0);

    // We answer byte ranges ourselves: the library's own handling sends a wrong Content-Range
    // for an end past the file.
    http.set_pre_routing_handler([](const httplib::Request& req, httplib::Response&) {
        if (req.path.rfind("/downloads/", 0) == 0)
            const_cast<httplib::Request&>(req).ranges.clear();
        return httplib::Server::HandlerResponse::Unhandled;
    });
    http.Post(kRpcPath, [this](const httplib::Request& req, httplib::Response& res) { handleRpc(req, res); });
    http.Get(R"(/downloads/(.*))",
        [this](const httplib::Request& req, httplib::Response& res) { handleDownload(req, res); });
    // Whatever the library refuses on the JSON-RPC path (such as a body over the limit) still
    // gets a JSON-RPC answer the client can show.
    http.set_error_handler(
        httplib::Server::HandlerWithResponse([this](const httplib::Request& req, httplib::Response& res) {
            if (req.path != kRpcPath || req.method != "POST") {
                if (res.body.empty())
                    res.set_content(statusText(res.status), "text/plain; charset=utf-8");
                return httplib::Server::HandlerResponse::Handled;
            }
            const int status = res.status;
            Json::Value answer(Json::objectValue);
            answer["jsonrpc"] = "2.0";
            answer["id"] = Json::nullValue;
            answer["error"]["code"] = ErrorCode::InvalidRequest;
            answer["error"]["message"] = status == 413 ? "请求内容过大" : "无效的请求";
            std::string text;
            res.status = 200;
            res.set_content(writeJson(answer, &text), kJsonType);
            logLine("jsonrpc - user=- error " + std::to_string(ErrorCode::InvalidRequest) + " (http "
                + std::to_string(status) + ")");
            return httplib::Server::HandlerResponse::Handled;
        }));
    http.set_exception_handler(
        [this](const httplib::Request& req, httplib::Response& res, std::exception_ptr) {
            logLine("unexpected failure on " + printable(req.path));
            res.status = 500;
            res.set_content("internal error", "text/plain");
        });

    const std::string h = host.toStdString();
    if (port == 0) {
        const int bound = http.bind_to_any_port(h);
        if (bound <= 0) {
            if (error)
                *error = QStringLiteral("cannot listen on %1").arg(host);
            m_http.reset();
            return false;
        }
        m_port = static_cast<quint16>(bound);
    } else {
        if (!http.bind_to_port(h, port)) {
            if (error)
                *error = QStringLiteral("cannot listen on %1:%2").arg(host).arg(port);
            m_http.reset();
            return false;
        }
        m_port = port;
    }
    m_thread = std::thread([&http] { http.listen_after_bind(); });
    // A stop() that comes before the loop runs would be lost and leave the thread serving.
    for (int i = 0; i < 5000 && !http.is_running(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return true;
}

void AppServer::stop()
{
    if (m_http)
        m_http->stop();
    if (m_thread.joinable())
        m_thread.join();
    m_http.reset();
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

void AppServer::handleRpc(const httplib::Request& req, httplib::Response& res)
{
    const auto started = std::chrono::steady_clock::now();
    Call call;
    call.host = req.get_header_value("Host");
    Json::Value answer(Json::objectValue);
    answer["jsonrpc"] = "2.0";
    answer["id"] = Json::nullValue;
    int errorCode = 0;
    try {
        Json::Value root;
        {
            Json::CharReaderBuilder rb;
            Json::CharReaderBuilder::strictMode(&rb.settings_);
            rb["stackLimit"] = 64;
            std::unique_ptr<Json::CharReader> reader(rb.newCharReader());
            std::string errors;
            const char* begin = req.body.data();
            bool parsed = false;
            try {
                parsed = reader->parse(begin, begin + req.body.size(), &root, &errors);
            } catch (const Json::Exception&) {
                parsed = false; // nesting past the stack limit throws instead of failing
            }
            if (!parsed)
                throw AppError(ErrorCode::ParseError, "请求不是有效的JSON");
        }
        if (!root.isObject())
            throw AppError(ErrorCode::InvalidRequest, "无效的请求");
        const Json::Value& id = root["id"];
        if (id.isString() || id.isNumeric())
            answer["id"] = id;
        if (root["jsonrpc"] != "2.0")
            throw AppError(ErrorCode::InvalidRequest, "无效的请求：jsonrpc必须为\"2.0\"");
        if (!root["method"].isString())
            throw AppError(ErrorCode::InvalidRequest, "无效的请求：缺少method");
        call.method = root["method"].asString();
        const Json::Value& params = root["params"];
        if (!params.isNull() && !params.isObject())
            throw AppError(ErrorCode::InvalidParams, "参数错误：params必须是对象");
        if (params.isObject())
            call.params = params;
        answer["result"] = dispatch(call);
    } catch (const AppError& e) {
        errorCode = e.code;
        answer["error"]["code"] = e.code;
        answer["error"]["message"] = e.what();
    } catch (const std::exception& e) {
        errorCode = ErrorCode::Internal;
        answer["error"]["code"] = ErrorCode::Internal;
        answer["error"]["message"] = "服务器内部错误，请稍后再试";
        logLine("internal error in " + printable(call.method) + ": " + printable(e.what(), 512));
    }
    std::string text;
    if (errorCode == 0 && !call.rawResult.empty()) {
        std::string id;
        writeJson(answer["id"], &id);
        text.reserve(call.rawResult.size() + id.size() + 40);
        text.append("{\"id\":")
            .append(id)
            .append(",\"jsonrpc\":\"2.0\",\"result\":")
            .append(call.rawResult)
            .append("}");
    } else {
        writeJson(answer, &text);
    }
    res.set_content(std::move(text), kJsonType);

    const double ms
        = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
    char tail[64];
    std::snprintf(tail, sizeof tail, " %.2f ms", ms);
    logLine("jsonrpc " + (call.method.empty() ? std::string("-") : printable(call.method))
        + " user=" + printable(call.who) + " "
        + (errorCode ? "error " + std::to_string(errorCode) : std::string("ok")) + tail);
}

void AppServer::handleDownload(const httplib::Request& req, httplib::Response& res)
{
    const auto started = std::chrono::steady_clock::now();
    const std::string name = req.matches.size() > 1 ? req.matches[1].str() : std::string();
    auto finish = [&](int status, const std::string& detail) {
        res.status = status;
        if (status >= 400 && res.body.empty() && !res.content_provider_)
            res.set_content(statusText(status), "text/plain; charset=utf-8");
        const double ms
            = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
        char tail[64];
        std::snprintf(tail, sizeof tail, " %.2f ms", ms);
        logLine(req.method + " /downloads/" + printable(name) + " " + std::to_string(status)
            + (detail.empty() ? std::string() : " " + printable(detail)) + tail);
    };

    // A plain file name in the downloads folder: no separators, no hidden or partial files.
    const bool plain = !name.empty() && name.size() <= 255 && name[0] != '.'
        && name.find_first_of(std::string("/\\\0", 3)) == std::string::npos;
    if (m_options.downloadsDir.isEmpty() || !plain)
        return finish(404, "");
    const QDir dir(m_options.downloadsDir);
    const QFileInfo info(dir.filePath(QString::fromStdString(name)));
    const QString root = QFileInfo(dir.absolutePath()).canonicalFilePath();
    const QString real = info.canonicalFilePath();
    if (root.isEmpty() || real.isEmpty() || !real.startsWith(root + QLatin1Char('/')) || !info.isFile())
        return finish(404, "");

    auto file = std::make_shared<std::ifstream>(real.toStdString(), std::ios::binary);
    if (!*file)
        return finish(403, "");
    const int64_t size = info.size();
    const ByteRange range = ByteRange::parse(req.get_header_value("Range"), size);
    res.set_header("Accept-Ranges", "bytes");
    if (range.kind == ByteRange::Unsatisfiable) {
        res.set_header("Content-Range", "bytes */" + std::to_string(size));
        return finish(416, req.get_header_value("Range"));
    }
    const int64_t first = range.kind == ByteRange::Partial ? range.first : 0;
    const int64_t length = range.kind == ByteRange::Partial ? range.last - range.first + 1 : size;
    if (range.kind == ByteRange::Partial)
        res.set_header("Content-Range",
            "bytes " + std::to_string(range.first) + "-" + std::to_string(range.last) + "/"
                + std::to_string(size));
    if (length == 0) {
        res.set_content("", "application/octet-stream");
    } else {
        res.set_content_provider(static_cast<size_t>(length), "application/octet-stream",
            [file, first](size_t offset, size_t want, httplib::DataSink& sink) {
                char buffer[64 * 1024];
                file->clear();
                file->seekg(static_cast<std::streamoff>(first + static_cast<int64_t>(offset)));
                file->read(buffer, static_cast<std::streamsize>(std::min(want, sizeof buffer)));
                const std::streamsize got = file->gcount();
                if (got <= 0)
                    return false; // the file shrank under us
                return sink.write(buffer, static_cast<size_t>(got));
            });
    }
    finish(range.kind == ByteRange::Partial ? 206 : 200,
        range.kind == ByteRange::Partial ? req.get_header_value("Range") : std::string());
}

} // namespace appserver
