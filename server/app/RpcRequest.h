#pragma once

#include <json/value.h>

#include <cstddef>
#include <string>
#include <vector>

namespace appserver {

// One JSON-RPC 2.0 request as read from a body. When error is set the call is answered with that
// error and never dispatched.
struct RpcRequest {
    Json::Value id; // null when absent or unusable; answered all the same
    std::string method;
    Json::Value params { Json::objectValue };
    int error = 0;
    std::string message;
};

// A whole POST body: one request, or a batch (a JSON array) answered with an array.
struct RpcBody {
    bool batch = false;
    std::vector<RpcRequest> calls; // one entry when not a batch
};

constexpr size_t kMaxBatchCalls = 100;

// Never throws; any bytes give an answerable result. Bodies that are not UTF-8, or hold raw control
// characters inside strings, are parse errors like any other bad JSON.
RpcBody parseRpcBody(const char* data, size_t size);

// True when text is UTF-8 JSON text whose strings hold no raw control characters (RFC 8259);
// the structure is left to the JSON parser.
bool isCleanJsonText(const char* data, size_t size);

// The longest prefix of s of at most max bytes that does not cut a UTF-8 sequence.
std::string utf8Prefix(const std::string& s, size_t max);

} // namespace appserver
