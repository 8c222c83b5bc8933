// An app-server answer as the HTTP reply's body: read as JSON, converted to variants and handed
// to the caller's success or error callback, which reads it the way the windows do.
#include "FuzzSupport.h"

#include "remote/Request.h"

#include <QVariantList>

namespace {

int g_outcomes = 0;

void Walk(const QVariant& value)
{
    if (value.type() == QVariant::Map) {
        const QVariantMap map = value.toMap();
        for (auto it = map.constBegin(); it != map.constEnd(); ++it)
            Walk(it.value());
    } else if (value.type() == QVariant::List) {
        for (const QVariant& item : value.toList())
            Walk(item);
    } else {
        value.toString().toInt();
    }
}

void OnSuccess(const QVariantMap& result, void*)
{
    ++g_outcomes;
    Walk(result);
}

void OnError(int code, const QVariantMap& error, void*)
{
    ++g_outcomes;
    fuzz::Require(code == AppServerInvalidJson || code == AppServerErrorObject, "error code of an answer");
    GetErrorMessage(error);
    Walk(error);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::EnsureApplication();
    const QByteArray body(reinterpret_cast<const char*>(data), int(size));
    g_outcomes = 0;
    auto* request = new Request(QString(), &OnSuccess, &OnError, nullptr, nullptr, false);
    Request::OnNetworkReply(0, body, request); // takes the request
    fuzz::Require(g_outcomes == 1, "exactly one outcome per answer");
    fuzz::Require(Request::LiveCount() == 0, "the request is gone after its outcome");
    return 0;
}
