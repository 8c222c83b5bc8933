#include "RelayRequest.h"

#include "RelayOps.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

#include <cmath>

namespace relayrequest {

namespace {

    int skipSpace(const QByteArray& t, int i)
    {
        while (i < t.size() && (t[i] == ' ' || t[i] == '\t' || t[i] == '\n' || t[i] == '\r'))
            ++i;
        return i;
    }

    // t[i] is '"': the index after the closing quote, or -1.
    int skipString(const QByteArray& t, int i)
    {
        for (++i; i < t.size(); ++i) {
            if (t[i] == '\\')
                ++i;
            else if (t[i] == '"')
                return i + 1;
        }
        return -1;
    }

    int skipValue(const QByteArray& t, int i)
    {
        if (i >= t.size())
            return -1;
        if (t[i] == '"')
            return skipString(t, i);
        if (t[i] == '{' || t[i] == '[') {
            int depth = 0;
            while (i < t.size()) {
                const char c = t[i];
                if (c == '"') {
                    i = skipString(t, i);
                    if (i < 0)
                        return -1;
                    continue;
                }
                if (c == '{' || c == '[')
                    ++depth;
                else if ((c == '}' || c == ']') && --depth == 0)
                    return i + 1;
                ++i;
            }
            return -1;
        }
        const int start = i;
        while (i < t.size() && !QByteArray(",}] \t\r\n").contains(t[i]))
            ++i;
        return i > start ? i : -1;
    }

    bool cleanElems(const QJsonValue& value, QJsonArray* out)
    {
        if (!value.isArray() || value.toArray().isEmpty())
            return false;
        for (const QJsonValue& v : value.toArray()) {
            if (!v.isObject())
                return false;
            const QJsonObject e = v.toObject();
            const int type = e.value("type").toInt(-1);
            if (type == 0 && e.value("text").isString()) {
                out->append(relayop::textElem(e.value("text").toString()));
            } else if (type == 1 && e.value("data").isString()) {
                const QJsonValue ext = e.value("ext");
                if (!ext.isUndefined() && !ext.isString())
                    return false;
                out->append(relayop::customElem(e.value("data").toString(), ext.toString()));
            } else {
                return false;
            }
        }
        return true;
    }

    // An integer room number in 1 … 2^32-1; 12.5, "12" or true name no room.
    bool roomNumber(const QJsonValue& v, quint32* out)
    {
        if (!v.isDouble())
            return false;
        const double d = v.toDouble();
        if (!(d >= 1 && d <= 4294967295.0) || std::floor(d) != d)
            return false;
        *out = quint32(d);
        return true;
    }

    // A media server's session or handle id: an integer in 1 … 2^53-1, as Janus draws them.
    bool janusId(const QJsonValue& v, quint64* out)
    {
        if (!v.isDouble())
            return false;
        const double d = v.toDouble();
        if (!(d >= 1 && d <= 9007199254740991.0) || std::floor(d) != d)
            return false;
        *out = quint64(d);
        return true;
    }

    void refuse(Request* r, int code, const QString& desc)
    {
        r->error = code;
        r->desc = desc;
    }

} // namespace

QByteArray rawScalarMember(const QByteArray& t, const QByteArray& key)
{
    int i = skipSpace(t, 0);
    if (i >= t.size() || t[i] != '{')
        return {};
    const QByteArray quoted = '"' + key + '"';
    QByteArray found;
    i = skipSpace(t, i + 1);
    if (i < t.size() && t[i] == '}')
        return {};
    while (i < t.size()) {
        if (t[i] != '"')
            return {};
        const int keyEnd = skipString(t, i);
        if (keyEnd < 0)
            return {};
        const bool match = t.mid(i, keyEnd - i) == quoted;
        i = skipSpace(t, keyEnd);
        if (i >= t.size() || t[i] != ':')
            return {};
        const int valueStart = skipSpace(t, i + 1);
        const int valueEnd = skipValue(t, valueStart);
        if (valueEnd < 0)
            return {};
        if (match)
            found = t.mid(valueStart, valueEnd - valueStart); // the last one counts, as for the parser
        i = skipSpace(t, valueEnd);
        if (i < t.size() && t[i] == '}')
            break;
        if (i >= t.size() || t[i] != ',')
            return {};
        i = skipSpace(t, i + 1);
    }
    if (found.isEmpty() || found.size() > 256)
        return {};
    // Only a well-formed string or number goes back into a reply.
    const QJsonDocument check = QJsonDocument::fromJson('[' + found + ']');
    const QJsonValue v = check.isArray() && check.array().size() == 1 ? check.array().first() : QJsonValue();
    return v.isString() || v.isDouble() ? found : QByteArray();
}

Request parse(const QByteArray& text)
{
    Request r;
    if (text.size() > kMaxTextBytes) {
        r.isObject = true;
        const QByteArray id = rawScalarMember(text, "id");
        if (!id.isEmpty())
            r.rawId = id;
        refuse(
            &r, relayop::kMalformed, QStringLiteral("malformed request: over %1 bytes").arg(kMaxTextBytes));
        return r;
    }
    QJsonParseError perr;
    const QJsonDocument doc = QJsonDocument::fromJson(text, &perr);
    if (perr.error != QJsonParseError::NoError || !doc.isObject()) {
        refuse(&r, relayop::kMalformed, QStringLiteral("malformed request: not a JSON object"));
        return r;
    }
    r.isObject = true;
    const QByteArray id = rawScalarMember(text, "id");
    if (!id.isEmpty())
        r.rawId = id;
    const QJsonObject req = doc.object();
    r.op = req.value("op").toString();
    if (r.op.isEmpty()) {
        refuse(&r, relayop::kMalformed, QStringLiteral("malformed request: no op"));
    } else if (r.op == QLatin1String("login")) {
        r.userId = req.value("userId").toString();
        r.userSig = req.value("userSig").toString();
        r.resume = req.value("resume").toString().left(256);
    } else if (r.op == QLatin1String("createRoom") || r.op == QLatin1String("joinRoom")) {
        r.role = req.value("role").toString();
        if (!roomNumber(req.value("roomId"), &r.roomId))
            refuse(&r, relayop::kMalformed, QStringLiteral("malformed request: bad roomId"));
    } else if (r.op == QLatin1String("groupMsg") || r.op == QLatin1String("peerMsg")) {
        r.to = req.value("to").toString();
        if (!cleanElems(req.value("elems"), &r.elems))
            refuse(&r, relayop::kMalformed, QStringLiteral("malformed request: bad elems"));
    } else if (r.op == QLatin1String("event")) {
        r.event = req.value("event").toInt(-1);
        if (r.event != relayop::kCameraOn && r.event != relayop::kCameraOff && r.event != relayop::kScreenOn
            && r.event != relayop::kScreenOff)
            refuse(&r, relayop::kMalformed, QStringLiteral("malformed request: bad event"));
    } else if (r.op == QLatin1String("ping")) {
        r.rawSeq = rawScalarMember(text, "seq");
    } else if (r.op == QLatin1String("publish")) {
        if (!janusId(req.value("session"), &r.mediaSession) || !janusId(req.value("handle"), &r.mediaHandle)
            || !janusId(req.value("feed"), &r.mediaFeed))
            refuse(&r, relayop::kMalformed, QStringLiteral("malformed request: bad session, handle or feed"));
    } else if (r.op != QLatin1String("quitRoom") && r.op != QLatin1String("rooms")) {
        refuse(&r, relayop::kUnknownOp, QStringLiteral("unknown op: %1").arg(r.op.left(64)));
    }
    return r;
}

} // namespace relayrequest
