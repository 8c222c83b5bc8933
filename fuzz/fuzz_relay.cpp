// What the live relay sends the client: replies and pushes as text (member events with their feed
// ids included). Handed to the service's relay session the way its socket hands them over, with a
// room entered and every listener set.
#include "FuzzSupport.h"

#include "ilive/LiveService.h"

#include <QString>

// Tags for the private members used (they must share the helper's namespace).
namespace fuzz {
struct OnTextTag {
    using type = void (RelayClient::*)(const QString&);
    friend type get(OnTextTag);
};
struct InRoomTag {
    using type = bool LiveService::*;
    friend type get(InRoomTag);
};
struct MemberStatusTag {
    using type = ilive::iLiveMemStatusListener LiveService::*;
    friend type get(MemberStatusTag);
};
} // namespace fuzz

namespace {

void OnMessage(const ilive::Message& msg, void*)
{
    const ilive::Message copy(msg); // the room window copies messages it queues
    for (const ilive::MessageElem* e : copy.elems) {
        fuzz::Require(e && (e->type == ilive::TEXT || e->type == ilive::CUSTOM), "known element");
        if (e->type == ilive::TEXT)
            QString::fromUtf8(static_cast<const ilive::MessageTextElem*>(e)->content.c_str());
        else
            QString::fromUtf8(static_cast<const ilive::MessageCustomElem*>(e)->data.c_str());
    }
}

void OnMembers(ilive::E_EndpointEventId, const ilive::Vector<ilive::String>& ids, void*)
{
    for (const ilive::String& id : ids)
        QString::fromUtf8(id.c_str(), int(id.size()));
}

} // namespace

template struct fuzz::PrivateMember<fuzz::OnTextTag, &RelayClient::onText>;
template struct fuzz::PrivateMember<fuzz::InRoomTag, &LiveService::m_inRoom>;
template struct fuzz::PrivateMember<fuzz::MemberStatusTag, &LiveService::m_memberStatus>;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::EnsureApplication();
    static LiveService* service = [] {
        auto* s = new LiveService;
        s->setMessageCallBack(&OnMessage, nullptr);
        return s;
    }();
    // A push may leave the room (as a relay's would); every input starts inside it.
    service->*get(fuzz::InRoomTag()) = true;
    service->*get(fuzz::MemberStatusTag()) = &OnMembers;

    const QByteArray bytes(reinterpret_cast<const char*>(data), int(size));
    // Pictures no longer come through the relay: every input is a text push.
    static RelayClient* session = service->findChild<RelayClient*>();
    (session->*get(fuzz::OnTextTag()))(QString::fromUtf8(bytes));
    return 0;
}
