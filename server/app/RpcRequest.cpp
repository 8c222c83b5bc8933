#include "RpcRequest.h"

#include "AppStore.h"

#include <json/reader.h>

#include <memory>

namespace appserver {

namespace {

    // Length of the UTF-8 sequence at p (1 … 4), or 0 when it is not one: no overlong forms,
    // no surrogates, nothing past U+10FFFF.
    size_t utf8Sequence(const unsigned char* p, size_t left)
    {
        const unsigned char c = p[0];
        if (c < 0x80)
            return 1;
        size_t n = 0;
        unsigned char lo = 0x80, hi = 0xBF;
        if (c >= 0xC2 && c <= 0xDF) {
            n = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            n = 3;
            if (c == 0xE0)
                lo = 0xA0;
            else if (c == 0xED)
                hi = 0x9F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            n = 4;
            if (c == 0xF0)
                lo = 0x90;
            else if (c == 0xF4)
                hi = 0x8F;
        } else {
            return 0;
        }
        if (left < n || p[1] < lo || p[1] > hi)
            return 0;
        for (size_t i = 2; i < n; ++i)
            if (p[i] < 0x80 || p[i] > 0xBF)
                return 0;
        return n;
    }

    RpcRequest refused(int code, const std::string& message, Json::Value id = Json::Value())
    {
        RpcRequest r;
        r.id = std::move(id);
        r.error = code;
        r.message = message;
        return r;
    }

    RpcRequest readCall(const Json::Value& root)
    {
        if (!root.isObject())
            return refused(ErrorCode::InvalidRequest, "无效的请求");
        RpcRequest r;
        const Json::Value& id = root["id"];
        if (id.isString() || id.isNumeric())
            r.id = id;
        else if (!id.isNull())
            return refused(ErrorCode::InvalidRequest, "无效的请求：id必须是字符串或数字");
        if (root["jsonrpc"] != "2.0")
            return refused(ErrorCode::InvalidRequest, "无效的请求：jsonrpc必须为\"2.0\"", r.id);
        if (!root["method"].isString())
            return refused(ErrorCode::InvalidRequest, "无效的请求：缺少method", r.id);
        r.method = root["method"].asString();
        const Json::Value& params = root["params"];
        if (!params.isNull() && !params.isObject())
            return refused(ErrorCode::InvalidParams, "参数错误：params必须是对象", r.id);
        if (params.isObject())
            r.params = params;
        return r;
    }

} // namespace

bool isCleanJsonText(const char* data, size_t size)
{
    const auto* p = reinterpret_cast<const unsigned char*>(data);
    bool inString = false;
    for (size_t i = 0; i < size;) {
        const unsigned char c = p[i];
        if (c >= 0x80) {
            const size_t n = utf8Sequence(p + i, size - i);
            if (n == 0)
                return false;
            i += n;
            continue;
        }
        if (inString) {
            if (c < 0x20)
                return false;
            if (c == '\\')
                ++i; // the escaped character is the parser's to judge, but never ends the string
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        }
        ++i;
    }
    return true;
}

std::string utf8Prefix(const std::string& s, size_t max)
{
    if (s.size() <= max)
        return s;
    size_t end = max;
    // Back off over continuation bytes to the start of the cut sequence.
    while (end > 0 && (static_cast<unsigned char>(s[end]) & 0xC0) == 0x80)
        --end;
    return s.substr(0, end);
}

RpcBody parseRpcBody(const char* data, size_t size)
{
    RpcBody body;
    Json::Value root;
    bool parsed = isCleanJsonText(data, size);
    if (parsed) {
        Json::CharReaderBuilder rb;
        Json::CharReaderBuilder::strictMode(&rb.settings_);
        rb["stackLimit"] = 64;
        std::unique_ptr<Json::CharReader> reader(rb.newCharReader());
        std::string errors;
        try {
            parsed = reader->parse(data, data + size, &root, &errors);
        } catch (const Json::Exception&) {
            parsed = false; // nesting past the stack limit throws instead of failing
        }
    }
    if (!parsed) {
        body.calls.push_back(refused(ErrorCode::ParseError, "请求不是有效的JSON"));
        return body;
    }
    if (!root.isArray()) {
        body.calls.push_back(readCall(root));
        return body;
    }
    if (root.empty()) {
        body.calls.push_back(refused(ErrorCode::InvalidRequest, "无效的请求：批量请求为空"));
        return body;
    }
    if (root.size() > kMaxBatchCalls) {
        body.calls.push_back(refused(
            ErrorCode::InvalidRequest, "无效的请求：批量请求最多" + std::to_string(kMaxBatchCalls) + "个"));
        return body;
    }
    body.batch = true;
    for (const Json::Value& call : root)
        body.calls.push_back(readCall(call));
    return body;
}

} // namespace appserver
