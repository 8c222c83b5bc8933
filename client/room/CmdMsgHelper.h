#pragma once

#include "protocol/CustomCmd.h"
#include "ilive/ilive.h"

#include <QString>

// Wraps chat text and commands into service messages and sends them to the room or one user.
// The outcome of a command is only logged; a chat line's goes to the given callbacks, which log it
// as well.
class CmdMsgHelper {
public:
    static void sendGroupCmdMessage(E_CustomCmd cmd, const QString& param);
    static void sendC2CCmdMessage(const QString& userId, E_CustomCmd cmd, const QString& param);
    static void sendGroupTextMessage(const QString& text, ilive::iLiveSucCallback suc = &OnSendMsgSuc,
        ilive::iLiveErrCallback err = &OnSendMsgErr, void* data = nullptr);

    // {"actionParam": param, "userAction": cmd} in the indented JSON form, as UTF-8.
    static QByteArray BuildCmdJson(E_CustomCmd cmd, const QString& param);
    static ilive::Message BuildCmdMessage(E_CustomCmd cmd, const QString& param);
    static ilive::Message BuildTextMessage(const QString& text);

    static void OnSendMsgSuc(void* data);
    static void OnSendMsgErr(int code, const char* desc, void* data);
};

// The extension every command element carries.
extern const char* const kCmdMessageExt;
