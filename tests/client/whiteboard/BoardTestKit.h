#pragma once

#include "whiteboard/painterstorage.h"

#include <QPoint>

class QWidget;

// Pointer input for the board tests: a move with the left button held, and a press-move-release drag.
void move(QWidget* w, QPoint p);
void drag(QWidget* w, QPoint from, QPoint to);

// Lets the event loop turn (the surface takes its page snapshot then) and waits until the
// background writer has written every page file.
void WaitForPageFiles();

// A shape as a page file holds it, its colour told by its width.
ShapeRecord record(const QString& name, QVector<QPointF> points, int width = 3, float rotation = 0,
    float scaleX = 1, float scaleY = 1);

// A page of strokes large enough to be read in the background.
void writeBusyPage(const QString& name, int strokes);
