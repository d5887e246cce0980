// What a console tool needs from the operating system beyond the standard
// library: whether its error output is a terminal, and keeping the signals
// that POSIX raises for failed writes from ending the process, so that such
// failures reach the code as ordinary I/O errors.
#pragma once

namespace platform {

bool standardErrorIsTerminal();

// SIGPIPE (write to a closed socket) and SIGXFSZ (write past the file-size
// limit) are ignored; nothing to do where they do not exist.
void ignoreWriteErrorSignals();

}  // namespace platform
