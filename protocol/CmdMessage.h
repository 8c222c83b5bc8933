#pragma once

#include "CustomCmd.h"

#include <QByteArray>
#include <QString>

#include <optional>

// A classroom command travels as a custom message element: "data" is the command object
// {"actionParam": param, "userAction": cmd} in indented JSON, "ext" is kCmdMessageExt.
namespace cmdmessage {

extern const char* const kExt;

struct Command {
    int userAction = 0;
    QString actionParam;
};

QByteArray build(E_CustomCmd cmd, const QString& param);
// nullopt when data is not a command object; a "userAction" that is not a number reads as 0.
std::optional<Command> parse(const QByteArray& data);

} // namespace cmdmessage
