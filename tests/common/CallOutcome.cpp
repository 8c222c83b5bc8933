#include "CallOutcome.h"

#include <QTest>

void CallOutcome::OnOk(const QVariantMap& result, void* context)
{
    auto* o = static_cast<CallOutcome*>(context);
    o->result = result;
    o->done = o->ok = true;
}

void CallOutcome::OnFail(int code, const QVariantMap& error, void* context)
{
    auto* o = static_cast<CallOutcome*>(context);
    o->code = code;
    o->error = error;
    o->done = true;
}

bool CallOutcome::wait(int timeoutMs)
{
    return QTest::qWaitFor([this] { return done; }, timeoutMs);
}
