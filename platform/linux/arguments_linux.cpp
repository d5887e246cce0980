// Linux hands main() the bytes as they were given, UTF-8 in a UTF-8 locale.
#include "platform/arguments.h"

namespace platform {

std::vector<std::string> commandLineArguments(int argc, char** argv) { return {argv, argv + argc}; }

}  // namespace platform
