// Console queries, POSIX side.
#include "platform/console.h"

#include <csignal>

#include <unistd.h>

namespace platform {

bool standardErrorIsTerminal() { return ::isatty(STDERR_FILENO) == 1; }

void ignoreWriteErrorSignals() {
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
}

}  // namespace platform
