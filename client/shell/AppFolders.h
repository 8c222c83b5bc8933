#pragma once

#include <QString>

// Where the client's files are. Two roots: what the client only reads (translations, the office
// profile's template, the portable office suite), always the executable's folder; and what it
// writes (the logs, "setting", "storage/", the office profile in use): the executable's folder
// where that is writable, otherwise the per-user data folder.
QString AppReadFolder();
QString AppWriteFolder();
// Logs which folder the client writes to, and why.
void LogAppFolders();

// Points the two roots elsewhere (tests use scratch folders); an empty folder restores its default.
void SetAppFolders(const QString& readFolder, const QString& writeFolder);
