// Console queries, Windows side.
#include "platform/console.h"

#include <io.h>
#include <stdio.h>

namespace platform {

bool standardErrorIsTerminal() { return ::_isatty(::_fileno(stderr)) != 0; }

void ignoreWriteErrorSignals() {}

}  // namespace platform
