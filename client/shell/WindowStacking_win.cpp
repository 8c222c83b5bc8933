#include "WindowStacking.h"

#include <QWidget>

#include <windows.h>

void SetWindowTopMost(QWidget* window, bool topMost)
{
    SetWindowPos(reinterpret_cast<HWND>(window->winId()), topMost ? HWND_TOPMOST : HWND_NOTOPMOST, 0, 0, 0, 0,
        SWP_NOMOVE | SWP_NOSIZE);
}
