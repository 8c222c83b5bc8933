#pragma once

#include <string>

namespace appserver {

// Copies the database at dbPath to destPath while a server may be writing it: one backup step
// under one read snapshot, so the copy is consistent and the server's writes never restart it. The
// copy is a self-contained file (no -wal beside it), written beside destPath first and put in
// place whole. Throws std::runtime_error with a reason an operator can act on.
void backupDatabase(const std::string& dbPath, const std::string& destPath);

} // namespace appserver
