#pragma once
// What a user can do about a serial port that could not be opened.
#include <string>

namespace hp::rt {

// One line of advice for the device path Device that failed to open with
// the platform's error number Code (a group to join, a program holding the
// port); empty when the platform has nothing useful to add.
std::string PortOpenHint(const std::string& Device, int Code);

} // namespace hp::rt
