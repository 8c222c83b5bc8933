// A request as a client sends it to the live relay, read the way the relay reads it.
#include "FuzzSupport.h"

#include "protocol/RelayOps.h"
#include "protocol/RelayRequest.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray text(reinterpret_cast<const char*>(data), int(size));

    // The id goes back verbatim in the reply: it must be a short piece of what was sent.
    const QByteArray id = relayrequest::rawScalarMember(text, "id");
    fuzz::Require(id.isEmpty() || (id.size() <= 256 && text.contains(id)), "id taken from the request");

    const relayrequest::Request r = relayrequest::parse(text);
    fuzz::Require(r.rawId == "0" || (r.rawId.size() <= 256 && text.contains(r.rawId)), "reply id");
    if (r.error == 0) {
        fuzz::Require(r.isObject && !r.op.isEmpty(), "an accepted request names its op");
        if (r.op == QLatin1String("createRoom") || r.op == QLatin1String("joinRoom"))
            fuzz::Require(r.roomId >= 1, "accepted room number");
        if (r.op == QLatin1String("groupMsg") || r.op == QLatin1String("peerMsg"))
            fuzz::Require(!r.elems.isEmpty(), "accepted message has elements");
    } else {
        fuzz::Require(!r.desc.isEmpty(), "a refusal says why");
    }
    if (text.size() > relayrequest::kMaxTextBytes)
        fuzz::Require(r.error == relayop::kMalformed, "oversized text refused");
    return 0;
}
