#pragma once

#include <QVariantMap>
#include <QWidget>

// The window an app-server call waits over; its completions, given the outcome as context, record
// how the call ended.
class CallOutcome : public QWidget {
public:
    bool done = false;
    bool ok = false;
    int code = 0;
    QVariantMap result;
    QVariantMap error;

    static void OnOk(const QVariantMap& result, void* context);
    static void OnFail(int code, const QVariantMap& error, void* context);
    // Spins the event loop until the call has ended or timeoutMs passed; true when it ended.
    bool wait(int timeoutMs = 8000);
};
