#pragma once

class QWidget;

// Keeps a shown top-level window above all others, or lets it go back among them, without hiding
// it. One implementation per platform: WindowStacking_linux.cpp, WindowStacking_win.cpp.
void SetWindowTopMost(QWidget* window, bool topMost);
