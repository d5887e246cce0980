// Waiting on the socket sets that libcurl fills for the transfer loop, and the
// short sleep the loop takes when libcurl has no socket to wait on. Kept here
// so that the engine itself stays free of operating-system differences.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#else
#include <sys/select.h>
#endif

namespace platform {

// select() on the three sets with maxFd + 1 as the descriptor count, for at
// most timeoutMilliseconds. Returns false when select failed; lastError then
// holds the socket library's last error code (errno here, WSAGetLastError on
// Windows).
bool waitForSockets(int maxFd, fd_set* readSet, fd_set* writeSet, fd_set* exceptSet,
                    long timeoutMilliseconds, int& lastError);

void sleepMilliseconds(long milliseconds);

}  // namespace platform
