#include "AppServer.h"
#include "ServerStats.h"
#include "JsonText.h"
#include "RpcRequest.h"

#include "common/UserSig.h"
#include "protocol/LoginHash.h"

#include <QString>
#include <QUrl>

#include <json/json.h>

#include <algorithm>
#include <climits>
#include <vector>

namespace appserver {

namespace {

    AppError badParam(const char* key)
    {
        return AppError(ErrorCode::InvalidParams, std::string("参数错误：") + key);
    }

    std::string needString(const Json::Value& params, const char* key)
    {
        const Json::Value& v = params[key];
        if (!v.isString())
            throw badParam(key);
        return v.asString();
    }

    // A JSON number without fraction that fits an int.
    int needInt(const Json::Value& params, const char* key)
    {
        const Json::Value& v = params[key];
        if (!v.isNumeric() || !v.isInt())
            throw badParam(key);
        return v.asInt();
    }

    // Ids travel as decimal text; anything else names nothing.
    std::optional<int64_t> idFromText(const std::string& s)
    {
        if (s.empty() || s.size() > 18)
            return std::nullopt;
        int64_t v = 0;
        for (char ch : s) {
            if (ch < '0' || ch > '9')
                return std::nullopt;
            v = v * 10 + (ch - '0');
        }
        return v;
    }

    int64_t needLiveId(const Json::Value& params)
    {
        const std::optional<int64_t> id = idFromText(needString(params, "liveId"));
        if (!id)
            throw AppError(ErrorCode::LiveNotFound, "直播不存在");
        return *id;
    }

    struct PageArgs {
        int offset = 0;
        int limit = 0;
        int pageNum = 0;
        bool beyond = false; // the page starts past anything we could hold
    };

    PageArgs needPage(const Json::Value& params)
    {
        PageArgs p;
        p.pageNum = needInt(params, "pageNum");
        const int pageSize = needInt(params, "pageSize");
        if (p.pageNum < 1)
            throw badParam("pageNum");
        if (pageSize < 1)
            throw badParam("pageSize");
        p.limit = std::min(pageSize, 1000);
        const int64_t offset = static_cast<int64_t>(p.pageNum - 1) * p.limit;
        p.beyond = offset > INT_MAX;
        p.offset = p.beyond ? 0 : static_cast<int>(offset);
        return p;
    }

    std::string idText(int64_t id)
    {
        return std::to_string(id);
    }

    void writeLive(JsonText& j, const LiveRecord& l)
    {
        j.open('{');
        j.key("liveId").string(idText(l.liveId));
        j.key("teacherUserId").string(idText(l.teacherId));
        j.key("title").string(l.title);
        j.key("remark").string(l.remark);
        j.key("startTime").number(l.startMs);
        j.key("endTime").number(l.endMs);
        j.key("state").string(l.state);
        if (l.avRoomId)
            j.key("avRoomId").number(*l.avRoomId);
        else
            j.key("avRoomId").null();
        j.close('}');
    }

    void writeMember(JsonText& j, const MemberRecord& m)
    {
        j.open('{');
        j.key("userId").string(idText(m.userId));
        j.key("nickname").string(m.nickname);
        j.key("role").string(m.role);
        j.key("status").string(m.status);
        j.close('}');
    }

    // {"list":[...],"total":n,"pageNum":n,"pageSize":n}
    template <typename Record, typename Write>
    std::string pageText(
        const std::vector<Record>& records, Write write, int total, int pageNum, int pageSize)
    {
        std::string out;
        out.reserve(records.size() * 256 + 64);
        JsonText j(&out);
        j.open('{').key("list").open('[');
        for (const Record& r : records)
            write(j, r);
        j.close(']');
        j.key("total").number(total);
        j.key("pageNum").number(pageNum);
        j.key("pageSize").number(pageSize);
        j.close('}');
        return out;
    }

} // namespace

// Every method the app server answers. Methods that need a session get the caller's user in
// call.user before their handler runs; the rest are open to anyone.
const AppServer::Method AppServer::kMethods[] = {
    { appapi::Method::kLogin, false, &AppServer::login },
    { appapi::Method::kVersionCheck, false, &AppServer::versionCheck },
    { appapi::Method::kUserSig, true, &AppServer::createUserSig },
    { appapi::Method::kLivesOfTeacher, true, &AppServer::liveList },
    { appapi::Method::kOpenLives, true, &AppServer::openLives },
    { appapi::Method::kCreateRoom, true, &AppServer::createRoom },
    { appapi::Method::kReportRoomInfo, true, &AppServer::reportRoomInfo },
    { appapi::Method::kEnterRoom, true, &AppServer::enterRoom },
    { appapi::Method::kQuitRoom, true, &AppServer::quitRoom },
    { appapi::Method::kBegin, true, &AppServer::beginLive },
    { appapi::Method::kEnd, true, &AppServer::endLive },
    { appapi::Method::kMemberList, true, &AppServer::memberList },
    { appapi::Method::kMemberStatusReport, true, &AppServer::memberStatusReport },
    { appapi::Method::kAttendance, true, &AppServer::attendance },
    { appapi::Method::kReplayList, true, &AppServer::replayList },
};

Json::Value AppServer::dispatch(Call& call)
{
    const auto method = std::find_if(
        std::begin(kMethods), std::end(kMethods), [&](const Method& m) { return call.method == m.name; });
    if (method == std::end(kMethods))
        throw AppError(ErrorCode::MethodNotFound, "未知的方法：" + utf8Prefix(call.method, 64));
    if (method->needsSession) {
        const Json::Value& ak = call.params["ak"];
        if (ak.isString())
            call.user = m_store->sessionUser(ak.asString());
        if (!call.user)
            throw AppError(ErrorCode::NotSignedIn, "登录已过期，请重新登录");
        call.who = idText(call.user->userId);
    }
    return (this->*method->handler)(call);
}

int AppServer::roomVerdict(const QString& userId, quint32 roomId, relayop::RoomUse use)
{
    bool ok = false;
    const int64_t user = userId.toLongLong(&ok);
    if (!ok)
        return relayop::kNotLetIn;
    try {
        const AppStore::RoomAccess a = m_store->roomAccess(roomId, user);
        if (!a.exists)
            return relayop::kNoSuchRoom;
        if (a.ended)
            return relayop::kLiveEnded;
        switch (use) {
        case relayop::RoomUse::Host:
            return a.teacherId == user ? relayop::kOk : relayop::kNotLetIn;
        case relayop::RoomUse::Join:
            return (a.member && a.mayVisit) || a.teacherId == user ? relayop::kOk : relayop::kNotLetIn;
        case relayop::RoomUse::List:
            return a.mayVisit ? relayop::kOk : relayop::kNotLetIn;
        }
    } catch (const std::exception& e) {
        logLine(std::string("room check failed: ") + e.what());
    }
    return relayop::kNotLetIn;
}

QString AppServer::nicknameOf(const QString& userId)
{
    bool ok = false;
    const int64_t user = userId.toLongLong(&ok);
    try {
        if (const std::optional<UserRecord> u = ok ? m_store->userById(user) : std::nullopt)
            return QString::fromStdString(u->nickname);
    } catch (const std::exception& e) {
        logLine(std::string("name lookup failed: ") + e.what());
    }
    return QString();
}

Json::Value AppServer::login(Call& call)
{
    const Json::Value& p = call.params;
    const std::string loginId = needString(p, "loginId");
    const std::string salted = needString(p, "saltedPassword");
    const std::string salt = needString(p, "salt");
    if (!loginhash::isValidSalt(QByteArray::fromStdString(salt)))
        throw badParam("salt");
    call.who = "login:" + utf8Prefix(loginId, 64);
    const int64_t now = m_store->nowMs();
    if (const int64_t waitMs = m_logins.waitMs(loginId, call.address, now)) {
        m_stats->signInFailed(ServerStats::SignInFailure::Throttled);
        throw AppError(ErrorCode::TooManyAttempts,
            "登录失败次数过多，请" + std::to_string((waitMs + 999) / 1000) + "秒后再试");
    }
    const std::optional<UserRecord> user = m_store->checkLogin(loginId, salted, salt);
    if (!user) {
        m_logins.failed(loginId, call.address, now);
        m_stats->signInFailed(ServerStats::SignInFailure::BadPassword);
        throw AppError(ErrorCode::BadLogin, "用户名或密码错误");
    }
    m_logins.succeeded(loginId);
    m_stats->signedIn();
    call.who = idText(user->userId);
    const Session s
        = m_store->createSession(user->userId, m_options.sessionTtlMs, m_options.maxSessionsPerUser);
    Json::Value result(Json::objectValue);
    result["ak"] = s.ak;
    result["userId"] = idText(user->userId);
    result["loginId"] = user->loginId;
    result["nickname"] = user->nickname;
    result["role"] = user->role;
    result["expireTime"] = Json::Int64(s.expiresMs);
    return result;
}

Json::Value AppServer::versionCheck(Call& call)
{
    const std::string current = needString(call.params, "clientVersion");
    if (!compareVersions(current, current))
        throw badParam("clientVersion");
    const std::optional<ClientRelease> newest = m_store->newestRelease();
    Json::Value result(Json::objectValue);
    result["type"] = 1;
    result["newestVersion"] = newest ? newest->version : current;
    result["updateUrl"] = "";
    const std::optional<int> order = newest ? compareVersions(current, newest->version) : std::nullopt;
    // Only a release of the same application with an installer to fetch is offered.
    if (order && *order < 0 && !newest->fileName.empty()) {
        QString base = m_options.publicUrl;
        if (base.isEmpty())
            base = QString::fromLatin1(m_options.tlsCertPem.empty() ? "http://" : "https://")
                + QString::fromStdString(call.host);
        while (base.endsWith(QLatin1Char('/')))
            base.chop(1);
        result["type"] = 2;
        result["updateUrl"] = (base + QStringLiteral("/downloads/")
            + QString::fromLatin1(QUrl::toPercentEncoding(QString::fromStdString(newest->fileName))))
                                  .toStdString();
    }
    return result;
}

Json::Value AppServer::createUserSig(Call& call)
{
    const UserRecord& me = *call.user;
    const int64_t expires = m_store->nowMs() / 1000 + m_options.userSigTtlSecs;
    // Only a teacher's signature lets the relay make its holder a room's host.
    const usersig::Role role = me.role == "t" ? usersig::Role::Host : usersig::Role::Member;
    Json::Value result(Json::objectValue);
    result["userSig"]
        = usersig::make(m_secret, QString::fromStdString(idText(me.userId)), expires, role).toStdString();
    result["userId"] = idText(me.userId);
    result["expireTime"] = Json::Int64(expires);
    return result;
}

Json::Value AppServer::liveList(Call& call)
{
    const Json::Value& p = call.params;
    // Without a teacher the whole school's lives are listed, which scripted students use.
    std::optional<int64_t> teacher;
    const bool anyTeacher = p["teacherUserId"].isNull();
    if (!anyTeacher)
        teacher = idFromText(needString(p, "teacherUserId"));
    const PageArgs page = needPage(p);
    // Students do not see the lives whose roster leaves them out.
    const std::optional<int64_t> viewer
        = call.user->role == "t" ? std::nullopt : std::optional<int64_t>(call.user->userId);
    if ((teacher || anyTeacher) && !page.beyond)
        call.rawResult = livePage(teacher, page.offset, page.limit, page.pageNum, viewer);
    else
        call.rawResult = pageText(std::vector<LiveRecord>(), writeLive, 0, page.pageNum, page.limit);
    return Json::Value(Json::objectValue);
}

Json::Value AppServer::openLives(Call& call)
{
    // More classes than one school runs at once; a page shows no more than this.
    const int kMaxOpenLives = 200;
    const auto lives = m_store->openLives(kMaxOpenLives, call.user->userId);
    Json::Value list(Json::arrayValue);
    for (const auto& [l, teacherNickname] : lives) {
        Json::Value one(Json::objectValue);
        one["liveId"] = idText(l.liveId);
        one["teacherUserId"] = idText(l.teacherId);
        one["teacherNickname"] = teacherNickname;
        one["title"] = l.title;
        one["remark"] = l.remark;
        one["startTime"] = Json::Int64(l.startMs);
        one["endTime"] = Json::Int64(l.endMs);
        one["state"] = l.state;
        one["avRoomId"] = Json::Int64(l.avRoomId.value_or(0));
        list.append(one);
    }
    Json::Value result(Json::objectValue);
    result["list"] = list;
    result["total"] = Json::UInt(list.size());
    return result;
}

namespace {
    // The caller may only act for itself as a live's host.
    void needSelfAsHost(const Json::Value& p, const UserRecord& me)
    {
        const std::string host = needString(p, "hostUserId");
        if (idFromText(host) != me.userId)
            throw AppError(ErrorCode::NotYourLive, "没有权限操作该直播");
    }
} // namespace

Json::Value AppServer::createRoom(Call& call)
{
    const Json::Value& p = call.params;
    needString(p, "hostUserId");
    const int64_t liveId = needLiveId(p);
    needSelfAsHost(p, *call.user);
    Json::Value result(Json::objectValue);
    result["avRoomId"] = Json::Int64(m_store->createRoom(call.user->userId, liveId));
    result["liveId"] = idText(liveId);
    return result;
}

Json::Value AppServer::reportRoomInfo(Call& call)
{
    const Json::Value& p = call.params;
    needString(p, "hostUserId");
    const int64_t liveId = needLiveId(p);
    const int videoType = needInt(p, "videoType");
    const int device = needInt(p, "device");
    needSelfAsHost(p, *call.user);
    m_store->reportRoom(call.user->userId, liveId, videoType, device);
    return Json::Value(Json::objectValue);
}

namespace {
    struct RoomArgs {
        int role = 0;
        int room = 0;
    };
    RoomArgs needRoomArgs(const Json::Value& p)
    {
        RoomArgs a;
        a.role = needInt(p, "liveRole");
        if (a.role != 0 && a.role != 1)
            throw badParam("liveRole");
        a.room = needInt(p, "avRoomId");
        return a;
    }
} // namespace

Json::Value AppServer::enterRoom(Call& call)
{
    const RoomArgs a = needRoomArgs(call.params);
    m_store->enterRoom(call.user->userId, a.room, a.role);
    return Json::Value(Json::objectValue);
}

Json::Value AppServer::quitRoom(Call& call)
{
    const RoomArgs a = needRoomArgs(call.params);
    m_store->quitRoom(call.user->userId, a.room);
    return Json::Value(Json::objectValue);
}

Json::Value AppServer::beginLive(Call& call)
{
    const int64_t liveId = needLiveId(call.params);
    m_store->beginLive(call.user->userId, liveId);
    if (m_options.liveRecorded) {
        const std::optional<LiveRecord> live = m_store->live(liveId);
        if (live && live->avRoomId)
            m_options.liveRecorded(liveId, quint32(*live->avRoomId), live->teacherId, true);
    }
    return Json::Value(Json::objectValue);
}

Json::Value AppServer::endLive(Call& call)
{
    const int64_t liveId = needLiveId(call.params);
    m_store->endLive(call.user->userId, liveId);
    const std::optional<LiveRecord> live = m_store->live(liveId);
    if (live && live->avRoomId && m_options.liveEnded)
        m_options.liveEnded(quint32(*live->avRoomId));
    if (live && live->avRoomId && m_options.liveRecorded)
        m_options.liveRecorded(liveId, quint32(*live->avRoomId), live->teacherId, false);
    return Json::Value(Json::objectValue);
}

Json::Value AppServer::memberList(Call& call)
{
    const int64_t liveId = needLiveId(call.params);
    const PageArgs page = needPage(call.params);
    int total = 0;
    std::vector<MemberRecord> members;
    if (!page.beyond)
        members = m_store->members(call.user->userId, liveId, page.offset, page.limit, &total);
    call.rawResult = pageText(members, writeMember, total, page.pageNum, page.limit);
    return Json::Value(Json::objectValue);
}

Json::Value AppServer::memberStatusReport(Call& call)
{
    const Json::Value& p = call.params;
    const int64_t liveId = needLiveId(p);
    const std::string action = needString(p, "action");
    if (action != "on" && action != "off")
        throw badParam("action");
    const Json::Value& who = p["userId"];
    std::optional<int64_t> target;
    if (who.isString())
        target = idFromText(who.asString());
    else if (who.isIntegral() && who.isInt64() && who.asInt64() >= 0)
        target = who.asInt64();
    else
        throw badParam("userId");
    if (!target)
        throw AppError(ErrorCode::NotInRoom, "该用户不在直播间中");
    m_store->setMemberStatus(call.user->userId, liveId, *target, action == "on");
    return Json::Value(Json::objectValue);
}

std::string AppServer::livePage(
    std::optional<int64_t> teacher, int offset, int limit, int pageNum, std::optional<int64_t> viewer)
{
    const auto key = std::make_tuple(teacher.value_or(-1), offset, limit, pageNum, viewer.value_or(-1));
    const int64_t version = m_store->livesVersion();
    {
        std::lock_guard<std::mutex> g(m_pagesMutex);
        const auto it = m_pages.find(key);
        if (it != m_pages.end() && it->second->version == version)
            return it->second->text;
    }
    auto page = std::make_shared<CachedPage>();
    int total = 0;
    const std::vector<LiveRecord> lives
        = m_store->livesOfTeacher(teacher, offset, limit, &total, &page->version, viewer);
    page->text = pageText(lives, writeLive, total, pageNum, limit);
    std::lock_guard<std::mutex> g(m_pagesMutex);
    if (m_pages.size() >= 64)
        m_pages.clear(); // a school's handful of teachers fits; anything more just recomputes
    m_pages[key] = page;
    return page->text;
}

} // namespace appserver
