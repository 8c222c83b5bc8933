#pragma once

#include <QString>

// Where the client's files are. Two roots: what the client only reads (translations, the office
// profile's template, the portable office suite) and what it writes (the logs, "setting",
// "storage/", the office profile in use). Both are the executable's folder unless set.
QString AppReadFolder();
QString AppWriteFolder();

// Points the two roots elsewhere (tests use scratch folders); an empty folder restores its default.
void SetAppFolders(const QString& readFolder, const QString& writeFolder);
