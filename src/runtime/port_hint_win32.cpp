#include "runtime/port_hint.h"

#include <windows.h>

namespace hp::rt {

std::string PortOpenHint(const std::string& Device, int Code)
{
    // A COM port is open in one program at a time; Windows refuses the
    // second one with one of these.
    if (Code != ERROR_ACCESS_DENIED && Code != ERROR_SHARING_VIOLATION && Code != ERROR_BUSY)
        return {};
    // The user knows the port as COM3, not by its device-namespace path.
    const std::string deviceNamespace = "\\\\.\\";
    const std::string port =
        Device.compare(0, deviceNamespace.size(), deviceNamespace) == 0 ? Device.substr(deviceNamespace.size()) : Device;
    return "another program holds " + port +
           " (a terminal program, a serial monitor, another hiltpush); close it and run hiltpush again";
}

} // namespace hp::rt
