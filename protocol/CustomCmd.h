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
    // The class talking back. actionParam is a JSON object; a client that does not know a number
    // ignores the command.
    CmdRaiseHand = 0x806, // student -> host: {"userId", "nickname"}
    CmdLowerHand = 0x807, // student -> host (its own hand), or host -> student
    CmdLowerAllHands = 0x808, // host -> room
    CmdQuizOpen = 0x809, // host -> room: {"quizId", "choices" (2..6), "text"}
    CmdQuizAnswer = 0x80A, // student -> host: {"userId", "quizId", "choice" (0 = A)}; the relay counts it
    CmdQuizClose = 0x80B, // host -> room: {"quizId"}
    CmdQuizShare = 0x80C, // host -> room: {"quizId"}; the relay puts in the counted "counts"
    CmdQuizTally = 0x80D, // relay -> host: {"quizId", "counts", "answers", "closed"}; only the relay sends it
};
