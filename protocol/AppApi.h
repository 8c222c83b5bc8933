#pragma once

// The app server's JSON-RPC methods and the codes of its "error" object (server/PROTOCOL.md), as
// the server answers them and the client and the student tool call them. Plain C++, no Qt.
namespace appapi {

namespace Method {
    constexpr const char* kLogin = "user.login";
    constexpr const char* kVersionCheck = "client.version.check";
    constexpr const char* kUserSig = "live.usersig.create";
    constexpr const char* kLivesOfTeacher = "live.list.by.teacher.id";
    constexpr const char* kOpenLives = "live.list.open";
    constexpr const char* kCreateRoom = "live.create.room";
    constexpr const char* kReportRoomInfo = "live.report.room.info";
    constexpr const char* kEnterRoom = "live.enter.room";
    constexpr const char* kQuitRoom = "live.quit.room";
    constexpr const char* kBegin = "live.begin";
    constexpr const char* kEnd = "live.end";
    constexpr const char* kMemberList = "live.room.member.list";
    constexpr const char* kMemberStatusReport = "live.room.member.status.report";
    constexpr const char* kAttendance = "live.attendance";
    constexpr const char* kReplayList = "live.replay.list";
} // namespace Method

// The negative codes are JSON-RPC's own.
namespace ErrorCode {
    constexpr int ParseError = -32700;
    constexpr int InvalidRequest = -32600;
    constexpr int MethodNotFound = -32601;
    constexpr int InvalidParams = -32602;
    constexpr int Internal = -32603;
    constexpr int NotSignedIn = 101001; // ak missing, unknown or expired
    constexpr int BadLogin = 101002;
    constexpr int UserExists = 101003;
    constexpr int UserNotFound = 101004;
    constexpr int TooManyAttempts = 101005; // login failures: wait before the next try
    constexpr int LiveNotFound = 109001;
    constexpr int RoomNotFound = 109002;
    constexpr int LiveEnded = 109003;
    constexpr int NotInRoom = 109004;
    constexpr int NoRoomYet = 109005;
    constexpr int NotYourLive = 109007; // the client shows its own text for this one
    constexpr int NotOnRoster = 109008; // the live has a roster, and the caller is not on it
} // namespace ErrorCode

} // namespace appapi
