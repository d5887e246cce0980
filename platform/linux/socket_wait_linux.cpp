// select() and sleeping for the transfer loop, POSIX side.
#include "platform/socket_wait.h"

#include <cerrno>
#include <chrono>
#include <thread>

namespace platform {

bool waitForSockets(int maxFd, fd_set* readSet, fd_set* writeSet, fd_set* exceptSet,
                    long timeoutMilliseconds, int& lastError) {
    timeval timeout{};
    timeout.tv_sec = timeoutMilliseconds / 1000;
    timeout.tv_usec = (timeoutMilliseconds % 1000) * 1000;
    if (::select(maxFd + 1, readSet, writeSet, exceptSet, &timeout) < 0) {
        lastError = errno;
        return false;
    }
    lastError = 0;
    return true;
}

void sleepMilliseconds(long milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

}  // namespace platform
