#pragma once

#include <QObject>

// Installed on the application: tells the open room window when the application gains or loses
// activation, so that it can switch its screen-share area.
class ActiveFilter : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    bool eventFilter(QObject* watched, QEvent* event) override;
};
