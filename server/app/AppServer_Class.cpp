// What the relay saw in a class (facts from LiveRelay's record hook) and the attendance method.
#include "AppServer.h"

#include <QJsonArray>

#include <json/json.h>

namespace appserver {

namespace {

    std::optional<int64_t> userIdOf(const QString& text)
    {
        bool ok = false;
        const qint64 v = text.toLongLong(&ok);
        return ok && v > 0 ? std::optional<int64_t>(v) : std::nullopt;
    }

    QJsonObject tallyObject(const QuizTally& t)
    {
        QJsonArray counts;
        for (int n : t.counts)
            counts.append(n);
        QJsonObject answers;
        for (const auto& [userId, choice] : t.answers)
            answers.insert(QString::number(userId), choice);
        return QJsonObject { { "quizId", double(t.quizId) }, { "choices", t.choices },
            { "text", QString::fromStdString(t.text) }, { "counts", counts }, { "answers", answers },
            { "closed", t.closed } };
    }

    classfacts::Verdict refusal(ClassStore::Result r)
    {
        switch (r) {
        case ClassStore::Result::Ok:
            return {};
        case ClassStore::Result::NoLive:
            return { relayop::kNoSuchRoom, QStringLiteral("the room belongs to no live"), {} };
        case ClassStore::Result::NoSuchQuestion:
            return { classfacts::kNoSuchQuestion, QStringLiteral("no such question"), {} };
        case ClassStore::Result::Closed:
            return { classfacts::kQuestionClosed, QStringLiteral("the question is closed"), {} };
        case ClassStore::Result::BadChoice:
            return { relayop::kMalformed, QStringLiteral("no such choice"), {} };
        }
        return {};
    }

} // namespace

classfacts::Verdict AppServer::classFact(const classfacts::Fact& f)
{
    using classfacts::Kind;
    const std::optional<int64_t> user = userIdOf(f.userId);
    try {
        ClassStore::Result r = ClassStore::Result::Ok;
        switch (f.kind) {
        case Kind::Entered:
        case Kind::Left:
        case Kind::MicOn:
        case Kind::MicOff:
        case Kind::ChatLine:
        case Kind::HandRaised: {
            if (!user)
                return {};
            static const ClassStore::Event events[]
                = { ClassStore::Event::Entered, ClassStore::Event::Left, ClassStore::Event::MicOn,
                      ClassStore::Event::MicOff, ClassStore::Event::ChatLine, ClassStore::Event::HandRaised };
            m_classes->note(f.roomId, *user, events[static_cast<int>(f.kind)]);
            return {};
        }
        case Kind::QuizOpened:
            if (f.choices < classfacts::kMinChoices || f.choices > classfacts::kMaxChoices || f.quizId <= 0)
                return { relayop::kMalformed, QStringLiteral("a question has 2 to 6 choices and an id"), {} };
            r = m_classes->openQuiz(f.roomId, f.quizId, f.choices, f.text.left(200).toStdString());
            break;
        case Kind::QuizClosed:
            r = m_classes->closeQuiz(f.roomId, f.quizId);
            break;
        case Kind::QuizAnswered:
            if (!user)
                return { relayop::kMalformed, QStringLiteral("no such member"), {} };
            r = m_classes->answer(f.roomId, f.quizId, *user, f.choice);
            break;
        case Kind::QuizTally:
            break;
        }
        if (r != ClassStore::Result::Ok)
            return refusal(r);
        const std::optional<QuizTally> t = m_classes->tally(f.roomId, f.quizId);
        if (!t)
            return refusal(ClassStore::Result::NoSuchQuestion);
        classfacts::Verdict v;
        v.tally = tallyObject(*t);
        return v;
    } catch (const std::exception& e) {
        logLine(std::string("class record failed: ") + e.what());
        return { relayop::kMalformed, QStringLiteral("not recorded"), {} };
    }
}

Json::Value AppServer::attendance(Call& call)
{
    const Json::Value& id = call.params["liveId"];
    const std::optional<int64_t> liveId
        = id.isString() ? userIdOf(QString::fromStdString(id.asString())) : std::nullopt;
    const std::optional<LiveRecord> live = liveId ? m_store->live(*liveId) : std::nullopt;
    if (!live)
        throw AppError(ErrorCode::LiveNotFound, "直播不存在");
    // Who was there is the teacher's business only.
    if (live->teacherId != call.user->userId)
        throw AppError(ErrorCode::NotYourLive, "没有权限查看该直播的出勤");
    Json::Value list(Json::arrayValue);
    for (const AttendanceRow& r : m_classes->attendance(*liveId)) {
        Json::Value one(Json::objectValue);
        one["userId"] = std::to_string(r.userId);
        one["nickname"] = r.nickname;
        one["role"] = r.role;
        one["firstEntryTime"] = Json::Int64(r.firstEntryMs);
        one["entries"] = r.entries;
        one["presentMs"] = Json::Int64(r.presentMs);
        one["speakingMs"] = Json::Int64(r.speakingMs);
        one["chatLines"] = r.chatLines;
        one["hands"] = r.hands;
        one["answers"] = r.answers;
        list.append(one);
    }
    Json::Value result(Json::objectValue);
    result["liveId"] = std::to_string(*liveId);
    result["list"] = list;
    result["total"] = Json::UInt(list.size());
    return result;
}

} // namespace appserver
