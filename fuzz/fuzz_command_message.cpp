// A command message as a room member's client sends it, read by the room window: the command
// object and, inside it, the action parameter with the sender's identity.
#include "FuzzSupport.h"

#include "remote/AppServer.h"
#include "remote/NetworkHelper.h"
#include "remote/Request.h"
#include "room/LiveDlg.h"
#include "ui_LiveDlg.h"

#include <QElapsedTimer>
#include <QListWidget>
#include <QTimer>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::EnsureApplication();
    static LiveDlg* room = [] {
        // Requests a command starts (member list, speaking state) go nowhere and fail at once.
        SetAppServerUrl(QStringLiteral("http://127.0.0.1:9/app-server/jsonrpc/"));
        auto* dlg = new LiveDlg;
        dlg->setLiveId(QStringLiteral("1"));
        g_liveDlg = dlg;
        // The window's clocks would run at different points of each run; only the input decides.
        for (QTimer* timer : dlg->findChildren<QTimer*>())
            timer->stop();
        return dlg;
    }();

    // The relay names the sender; the first line of the input stands in for it.
    const QByteArray bytes(reinterpret_cast<const char*>(data), int(size));
    const int newline = bytes.indexOf('\n');
    const QString sender = QString::fromUtf8(newline < 0 ? QByteArray() : bytes.left(newline));
    room->parseCustomMessage(sender, QString::fromUtf8(bytes.mid(newline + 1)));

    // Keep a long run's memory flat: drop the rows and see every refused request through.
    room->form()->msgListWidget->clear();
    QElapsedTimer clock;
    clock.start();
    while (NetworkHelper::LiveCount() > 0 || Request::LiveCount() > 0) {
        fuzz::Require(clock.elapsed() < 10000, "every request ends");
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    return 0;
}
