#pragma once

#include <cstdint>

// Classroom commands between the teacher's client and the students; the values travel on the wire
// as "userAction" (see CmdMessage.h).
enum E_CustomCmd : int32_t {
    CmdEnterRoom = 1,
    CmdLeaveRoom = 2,
    CmdLivePause = 4,
    CmdLiveEnd = 6,
    CmdInviteInteract = 0x801,
    CmdMicOff = 0x802,
    CmdAcceptInteract = 0x803,
    CmdRejectInteract = 0x804,
    CmdClassTime = 0x805,
};
