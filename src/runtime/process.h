#pragma once
// The process's own path and its parameters as the platform delivers them.
#include <string>
#include <vector>

namespace hp::rt {

// The running executable's full path as the platform reports it (not as the
// user typed it).
std::string ExeName();

// Parameters 1..N of the process. On Linux the arguments as the shell passed
// them; on Windows the command line split by the program's own rule.
std::vector<std::string> ProcessParams(int argc, char** argv);

// The platform the program was built for, as a trace names it: "linux" or
// "windows".
std::string PlatformName();

} // namespace hp::rt
