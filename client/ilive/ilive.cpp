#include "ilive.h"

#include "LiveService.h"
#include "RenderRootView.h"

#include <cstdlib>
#include <cstring>

void* iliveMalloc(size_t size)
{
    // The string and vector types write through the pointer at once: never hand back null.
    void* p = std::malloc(size ? size : 1);
    if (!p)
        throw std::bad_alloc();
    return p;
}

void iliveFree(void* p)
{
    std::free(p);
}

void iliveMemCpy(void* dst, const void* src, size_t size)
{
    if (size)
        std::memcpy(dst, src, size);
}

size_t iliveStrLen(const char* s)
{
    return s ? std::strlen(s) : 0;
}

namespace {
ilive::iLive* g_testService = nullptr;
ilive::iLiveRootViewFactory g_testFactory = nullptr;
} // namespace

namespace ilive {

void SetILiveForTesting(iLive* service, iLiveRootViewFactory factory)
{
    g_testService = service;
    g_testFactory = factory;
}

} // namespace ilive

ilive::iLive* GetILive()
{
    if (g_testService)
        return g_testService;
    // Created on first use and never destroyed, like every process-wide object of the client.
    static LiveService* shipped = new LiveService;
    return shipped;
}

ilive::iLiveRootView* iLiveCreateRootView()
{
    if (g_testFactory)
        return g_testFactory();
    return new RenderRootView;
}
