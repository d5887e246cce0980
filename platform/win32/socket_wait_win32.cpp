// select() and sleeping for the transfer loop, Windows Sockets side.
#include "platform/socket_wait.h"

#include <windows.h>

namespace platform {

bool waitForSockets(int maxFd, fd_set* readSet, fd_set* writeSet, fd_set* exceptSet,
                    long timeoutMilliseconds, int& lastError) {
    timeval timeout{};
    timeout.tv_sec = timeoutMilliseconds / 1000;
    timeout.tv_usec = (timeoutMilliseconds % 1000) * 1000;
    if (::select(maxFd + 1, readSet, writeSet, exceptSet, &timeout) == SOCKET_ERROR) {
        lastError = ::WSAGetLastError();
        return false;
    }
    lastError = 0;
    return true;
}

void sleepMilliseconds(long milliseconds) {
    ::Sleep(static_cast<DWORD>(milliseconds));
}

}  // namespace platform
