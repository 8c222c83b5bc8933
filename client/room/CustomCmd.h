#pragma once

#include <cstdint>

// Commands shared with the students' clients (lectern-student includes this too); the values
// travel on the wire as "userAction".
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
