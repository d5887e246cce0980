// Command-line arguments of a console tool as UTF-8 text. On Windows the
// narrow argv of main() is in the ANSI code page and loses every character
// outside it, so the arguments are taken from the UTF-16 command line instead.
#pragma once

#include <string>
#include <vector>

namespace platform {

// argv[0] included.
std::vector<std::string> commandLineArguments(int argc, char** argv);

}  // namespace platform
