#include "WindowStacking.h"

#include <QWidget>
#include <QWindow>

void SetWindowTopMost(QWidget* window, bool topMost)
{
    if (bool(window->windowFlags() & Qt::WindowStaysOnTopHint) == topMost)
        return;
    // setWindowFlag() would hide the window and show it anew (a lost activation, a second member
    // list request); the window system takes the hint on the live window instead.
    const Qt::WindowFlags flags = window->windowFlags() ^ Qt::WindowStaysOnTopHint;
    window->overrideWindowFlags(flags);
    if (QWindow* handle = window->windowHandle())
        handle->setFlags(flags);
}
