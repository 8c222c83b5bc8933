#include "ProcessEnd.h"

#include "shell/AppShell.h"

namespace {
std::function<void()>& Hook()
{
    static std::function<void()>* hook = new std::function<void()>;
    return *hook;
}
} // namespace

void EndProcess()
{
    if (Hook()) {
        Hook()();
        return;
    }
    TerminateCurrentProcess();
}

void SetEndProcessHook(std::function<void()> hook)
{
    Hook() = std::move(hook);
}
