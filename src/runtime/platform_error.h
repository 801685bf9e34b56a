#pragma once
// The platform's own message text for one of its error numbers.
#include <string>

namespace hp::rt {

// strerror on Linux, the system message table on Windows; without a
// trailing line end.
std::string PlatformErrorText(int Code);

} // namespace hp::rt
