// Replays of ended classes: the list a user may watch, and the signed addresses their files are
// served under (a browser's <video> sends no session, so the address itself says who may fetch it).
#include "AppServer.h"

#include "common/ReplayFolder.h"

#include <QDateTime>
#include <QMessageAuthenticationCode>

#include <json/json.h>

namespace appserver {

struct AppServer::ReplayScan {
    int64_t atMs = 0;
    QList<replayfolder::Replay> replays;
};

namespace {

    // How long a read of the recordings folder answers "live.replay.list": a new replay shows a
    // few seconds late at most.
    constexpr int64_t kReplayScanMs = 5000;

    // An address handed out stays good this long: a class watched in one sitting.
    constexpr int64_t kReplayUrlSecs = 12 * 3600;

    QByteArray replaySignature(const QByteArray& secret, int64_t liveId, int64_t userId, int64_t expirySecs)
    {
        const QByteArray what = "replay:" + QByteArray::number(qint64(liveId)) + ':'
            + QByteArray::number(qint64(userId)) + ':' + QByteArray::number(qint64(expirySecs));
        return QMessageAuthenticationCode::hash(what, secret, QCryptographicHash::Sha256).toHex();
    }

    std::optional<int64_t> positive(const std::string& text)
    {
        if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != std::string::npos)
            return std::nullopt;
        const int64_t v = std::stoll(text);
        return v > 0 ? std::optional<int64_t>(v) : std::nullopt;
    }

} // namespace

std::string AppServer::replayFileUrl(
    int64_t liveId, const std::string& file, int64_t userId, int64_t expirySecs) const
{
    return "/replays/" + std::to_string(liveId) + "/" + file + "?u=" + std::to_string(userId)
        + "&e=" + std::to_string(expirySecs)
        + "&s=" + replaySignature(m_secret, liveId, userId, expirySecs).toStdString();
}

bool AppServer::replayUrlValid(
    int64_t liveId, const std::string& userId, const std::string& expiry, const std::string& signature) const
{
    const std::optional<int64_t> user = positive(userId);
    const std::optional<int64_t> until = positive(expiry);
    const int64_t nowSecs
        = (m_options.clockMs ? m_options.clockMs() : QDateTime::currentMSecsSinceEpoch()) / 1000;
    if (!user || !until || *until < nowSecs)
        return false;
    const QByteArray expected = replaySignature(m_secret, liveId, *user, *until);
    // Compared in full, so the time taken tells nothing of the signature.
    unsigned char differs = expected.size() != int(signature.size());
    for (int i = 0; i < expected.size() && i < int(signature.size()); ++i)
        differs |= static_cast<unsigned char>(expected[i] ^ signature[size_t(i)]);
    if (differs)
        return false;
    // The roster may have changed since the address was handed out.
    const std::optional<LiveRecord> live = m_store->live(liveId);
    return live && live->state == "e" && m_store->mayWatch(liveId, *user);
}

Json::Value AppServer::replayList(Call& call)
{
    Json::Value list(Json::arrayValue);
    const int64_t me = call.user->userId;
    const int64_t nowMs = m_options.clockMs ? m_options.clockMs() : QDateTime::currentMSecsSinceEpoch();
    const int64_t expiry = nowMs / 1000 + kReplayUrlSecs;
    std::shared_ptr<const ReplayScan> scan;
    {
        std::lock_guard<std::mutex> g(m_replayScanMutex);
        scan = m_replayScan;
    }
    if (!scan || nowMs - scan->atMs >= kReplayScanMs || nowMs < scan->atMs) {
        auto fresh = std::make_shared<ReplayScan>();
        fresh->atMs = nowMs;
        if (!m_options.recordingsDir.isEmpty())
            fresh->replays = replayfolder::list(m_options.recordingsDir);
        std::lock_guard<std::mutex> g(m_replayScanMutex);
        m_replayScan = scan = fresh;
    }
    const QList<replayfolder::Replay>& replays = scan->replays;
    // Newest first.
    for (auto it = replays.rbegin(); it != replays.rend(); ++it) {
        if (it->state != replayfolder::State::Ready)
            continue;
        const std::optional<LiveRecord> live = m_store->live(it->liveId);
        if (!live || live->state != "e" || !m_store->mayWatch(it->liveId, me))
            continue;
        const std::string video = replayFileUrl(it->liveId, replayfolder::kVideoFile, me, expiry);
        const std::string chat = replayFileUrl(it->liveId, replayfolder::kReplayFile, me, expiry);
        Json::Value one(Json::objectValue);
        one["liveId"] = std::to_string(it->liveId);
        one["title"] = live->title;
        one["teacherUserId"] = std::to_string(live->teacherId);
        one["startTime"] = Json::Int64(live->startMs);
        one["durationMs"] = Json::Int64(it->durationMs);
        one["videoUrl"] = video;
        one["chatUrl"] = chat;
        // The replay page plays it with its chat, signed in or not.
        one["pageUrl"] = "/student/replay.html?live=" + std::to_string(it->liveId)
            + video.substr(video.find('?')).replace(0, 1, "&");
        list.append(one);
    }
    Json::Value result(Json::objectValue);
    result["list"] = list;
    result["total"] = Json::UInt(list.size());
    return result;
}

} // namespace appserver
