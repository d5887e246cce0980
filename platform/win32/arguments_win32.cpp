// Windows: the arguments re-read from the UTF-16 command line.
#include "platform/arguments.h"

#include <windows.h>
#include <shellapi.h>

#include "platform/text.h"

namespace platform {

std::vector<std::string> commandLineArguments(int argc, char** argv) {
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!wide) return {argv, argv + argc};
    std::vector<std::string> arguments;
    arguments.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) arguments.push_back(toUtf8(wide[i]));
    LocalFree(wide);
    return arguments;
}

}  // namespace platform
