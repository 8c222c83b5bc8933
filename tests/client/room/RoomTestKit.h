#pragma once

#include "BoxCatcher.h"
#include "LogCapture.h"
#include "ServerProcess.h"

#include <QList>
#include <QPair>
#include <QString>

class FakeILive;
class LiveDlg;

namespace roomkit {

// Signs in (the session record then holds "ak" and "userId").
bool SignIn(const QString& loginId, const QString& password, QString* error);

// The fake service with one camera, microphone and speaker, and the room window's listeners
// registered as the lobby registers them.
FakeILive* InstallService();

// A room window as the lobby opens it: g_liveDlg set, ids set, shown maximised.
LiveDlg* OpenRoom(const QString& liveId, int avRoomId);
// Puts a room window away without its closing questions, and waits for its board's page files.
void DiscardRoom();

// The {"userAction","actionParam"} commands the fake service was asked to send, in order.
QList<QPair<int, QString>> SentCommands(const FakeILive* service);

// Waits until no app-server request of this process is in flight.
bool WaitForRequests(int timeoutMs = 10000);

} // namespace roomkit
