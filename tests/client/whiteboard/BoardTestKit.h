#pragma once

#include <QPoint>

class QWidget;

// Pointer input for the board tests: a move with the left button held, and a press-move-release drag.
void move(QWidget* w, QPoint p);
void drag(QWidget* w, QPoint from, QPoint to);

// Lets the event loop turn (the surface takes its page snapshot then) and waits until the
// background writer has written every page file.
void WaitForPageFiles();
