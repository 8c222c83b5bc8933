// Raised hands and quick questions as the relay sees them: what they show is recorded through the
// class record hook, where the answers are also counted; the host hears the counts from the relay.
#include "LiveRelay.h"

#include "protocol/CmdMessage.h"

#include <QJsonDocument>
#include <QTimer>

namespace {

using classfacts::Kind;

qint64 quizIdOf(const QJsonObject& param)
{
    return param.value(QStringLiteral("quizId")).toVariant().toLongLong();
}

QJsonObject paramOf(const cmdmessage::Command& cmd)
{
    return QJsonDocument::fromJson(cmd.actionParam.toUtf8()).object();
}

} // namespace

void LiveRelay::record(classfacts::Kind kind, quint32 roomId, const QString& userId, const QString& text)
{
    if (!m_record || !roomId)
        return;
    classfacts::Fact f;
    f.kind = kind;
    f.roomId = roomId;
    f.userId = userId;
    f.text = text;
    m_record(f);
}

QStringList LiveRelay::onMicNow(quint32 roomId) const
{
    QStringList ids;
    for (const Session* m : roomMembers(roomId)) {
        const Seat member = seat(m);
        if (!member.host && m_police.onMic(roomId, member.userId))
            ids << member.userId;
    }
    return ids;
}

bool LiveRelay::classMessage(Session* s, const QByteArray& id, bool group, QJsonArray* elems)
{
    const Seat me = seat(s);
    const quint32 roomId = me.roomId;
    if (!roomId)
        return true; // refused or passed on as ever
    for (int i = 0; i < elems->size(); ++i) {
        const QJsonObject e = elems->at(i).toObject();
        const int type = e.value(QStringLiteral("type")).toInt(-1);
        if (type == 0) {
            if (group)
                record(Kind::ChatLine, roomId, me.userId, e.value(QStringLiteral("text")).toString());
            continue;
        }
        const std::optional<cmdmessage::Command> cmd = type == 1
            ? cmdmessage::parse(e.value(QStringLiteral("data")).toString().toUtf8())
            : std::nullopt;
        if (!cmd)
            continue;
        const QJsonObject param = paramOf(*cmd);
        switch (cmd->userAction) {
        case CmdQuizTally:
            reply(s, id, relayop::kNotPassedOn, QStringLiteral("only the relay tells a question's counts"));
            return false;
        case CmdRaiseHand:
            if (!me.host) {
                QSet<QString>& hands = m_hands[roomId];
                if (!hands.contains(me.userId)) {
                    hands.insert(me.userId);
                    record(Kind::HandRaised, roomId, me.userId);
                }
            }
            break;
        case CmdLowerHand:
            // A student lowers its own hand; the host names whose.
            m_hands[roomId].remove(
                me.host ? param.value(QStringLiteral("userId")).toVariant().toString() : me.userId);
            break;
        case CmdLowerAllHands:
            if (me.host)
                m_hands.remove(roomId);
            break;
        case CmdQuizOpen:
        case CmdQuizClose:
        case CmdQuizShare: {
            if (!me.host || !group || !m_record)
                break;
            classfacts::Fact f;
            f.kind = cmd->userAction == CmdQuizOpen ? Kind::QuizOpened
                : cmd->userAction == CmdQuizClose   ? Kind::QuizClosed
                                                    : Kind::QuizTally;
            f.roomId = roomId;
            f.userId = me.userId;
            f.quizId = quizIdOf(param);
            f.choices = param.value(QStringLiteral("choices")).toInt();
            f.text = param.value(QStringLiteral("text")).toString();
            const classfacts::Verdict v = m_record(f);
            if (v.code) {
                reply(s, id, v.code, v.desc);
                return false;
            }
            if (cmd->userAction == CmdQuizShare) {
                // The room sees the counts as counted here, whatever the host's client put in.
                QJsonObject shared = v.tally;
                shared.remove(QStringLiteral("answers"));
                const QString text = QString::fromUtf8(QJsonDocument(shared).toJson(QJsonDocument::Compact));
                (*elems)[i] = relayop::customElem(
                    QString::fromUtf8(cmdmessage::build(CmdQuizShare, text)), cmdmessage::kExt);
            } else if (cmd->userAction == CmdQuizOpen) {
                m_openQuestion.insert(roomId, relayop::msg(me.userId, true, QJsonArray { e }));
            } else {
                m_openQuestion.remove(roomId);
            }
            sendTally(roomId, v.tally);
            break;
        }
        case CmdQuizAnswer: {
            if (me.host || !m_record)
                break;
            classfacts::Fact f;
            f.kind = Kind::QuizAnswered;
            f.roomId = roomId;
            f.userId = me.userId;
            f.quizId = quizIdOf(param);
            f.choice = param.value(QStringLiteral("choice")).toInt(-1);
            const classfacts::Verdict v = m_record(f);
            // Counted here: the host hears the counts, not the answer (nor what else it claims).
            if (!v.code)
                sendTallySoon(roomId, f.quizId);
            reply(s, id, v.code, v.desc);
            return false;
        }
        default:
            break;
        }
    }
    return true;
}

// Answers that come together are told to the host together.
void LiveRelay::sendTallySoon(quint32 roomId, qint64 quizId)
{
    const QPair<quint32, qint64> key(roomId, quizId);
    if (m_tallyDue.contains(key))
        return;
    m_tallyDue.insert(key);
    QTimer::singleShot(kTallyDelayMs, this, [this, key] {
        m_tallyDue.remove(key);
        if (!m_record)
            return;
        classfacts::Fact f;
        f.kind = Kind::QuizTally;
        f.roomId = key.first;
        f.quizId = key.second;
        const classfacts::Verdict v = m_record(f);
        if (!v.code)
            sendTally(key.first, v.tally);
    });
}

// From no member: the sender is empty, which no signed-in session can be.
void LiveRelay::sendTally(quint32 roomId, const QJsonObject& tally)
{
    const QString text = QString::fromUtf8(QJsonDocument(tally).toJson(QJsonDocument::Compact));
    const QByteArray bytes = relayop::msg(QString(), false,
        QJsonArray { relayop::customElem(
            QString::fromUtf8(cmdmessage::build(CmdQuizTally, text)), cmdmessage::kExt) });
    for (Session* m : roomMembers(roomId))
        if (seat(m).host)
            sendRaw(m, bytes);
}

// Who comes while a question is open gets it, from the host, as those present did.
void LiveRelay::tellOpenQuestion(Session* s)
{
    const Seat me = seat(s);
    if (me.host)
        return;
    const auto open = m_openQuestion.constFind(me.roomId);
    if (open != m_openQuestion.constEnd())
        sendRaw(s, *open);
}

void LiveRelay::classLeave(Session* s, quint32 roomId)
{
    const QString userId = seat(s).userId;
    auto hands = m_hands.find(roomId);
    if (hands != m_hands.end())
        hands->remove(userId);
    if (m_police.onMic(roomId, userId))
        record(Kind::MicOff, roomId, userId);
    record(Kind::Left, roomId, userId);
    if (!m_rooms.contains(roomId)) {
        m_hands.remove(roomId);
        m_openQuestion.remove(roomId);
    }
}
