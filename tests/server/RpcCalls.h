// JSON-RPC over plain HTTP to an app server on loopback, as the students' page speaks it.
#pragma once

#include "app/AppServer.h"

#include <QCryptographicHash>

#include <httplib.h>
#include <json/json.h>

#include <memory>
#include <string>

namespace rpctest {

inline std::string sha1Base64(const std::string& text)
{
    return QCryptographicHash::hash(QByteArray::fromStdString(text), QCryptographicHash::Sha1)
        .toBase64()
        .toStdString();
}

inline std::unique_ptr<httplib::Client> client(quint16 port)
{
    auto c = std::make_unique<httplib::Client>("127.0.0.1", port);
    c->set_read_timeout(10, 0);
    return c;
}

// The whole answer; null when nothing came back.
inline Json::Value call(quint16 port, const std::string& method, Json::Value params, const std::string& ak)
{
    params["ak"] = ak;
    Json::Value envelope(Json::objectValue);
    envelope["jsonrpc"] = "2.0";
    envelope["id"] = 1;
    envelope["method"] = method;
    envelope["params"] = params;
    auto res = client(port)->Post(appserver::AppServer::kRpcPath,
        Json::writeString(Json::StreamWriterBuilder(), envelope), "application/json");
    Json::Value answer;
    if (res) {
        std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
        reader->parse(res->body.data(), res->body.data() + res->body.size(), &answer, nullptr);
    }
    return answer;
}

// user.login's parameters for a demo user (password 123456).
inline Json::Value demoLogin(const std::string& loginId)
{
    Json::Value p(Json::objectValue);
    p["loginId"] = loginId;
    p["salt"] = "77";
    p["saltedPassword"] = sha1Base64(sha1Base64("123456") + "77");
    return p;
}

// The session key of a demo user; empty when the sign-in was refused.
inline std::string ak(quint16 port, const std::string& loginId)
{
    return call(port, "user.login", demoLogin(loginId), "")["result"]["ak"].asString();
}

} // namespace rpctest
