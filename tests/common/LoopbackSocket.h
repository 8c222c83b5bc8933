#pragma once

#include <QtGlobal>

// A blocking TCP connection to 127.0.0.1:port (its receive buffer shrunk when receiveBuffer > 0,
// so a slow reader is slow at once); the descriptor, or -1 when nothing accepts.
int ConnectLoopback(quint16 port, int receiveBuffer = 0);
