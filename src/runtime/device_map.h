#pragma once
// The system's serial device map: named values, each holding the port name
// of one serial device. On Windows this is the registry key
// HKEY_LOCAL_MACHINE\HARDWARE\DEVICEMAP\SERIALCOMM. On Linux it is the folder
// named by HILTPUSH_SERIALCOMM (the value \Device\USBSER000 is the file
// Device/USBSER000 in it), or else the USB CDC-ACM devices the kernel lists:
// \Device\USBSER<NNN> is /dev/ttyACM<N> while /sys/class/tty/ttyACM<N> exists.
//
// The serial ports that the map's probe names never reach (OtherPorts) are,
// on Windows, the key's other values; on Linux the USB serial adapters
// /dev/ttyUSB<N> with their /dev/serial/by-id/ names. A folder named by
// HILTPUSH_SERIALCOMM brings its own dev/ for that (its dev/ttyUSB0,
// dev/serial/by-id/...), and the machine's /dev is then not looked at.
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace hp::rt {

class TDeviceMap {
public:
    // Opens the device map for reading. A map that is missing or cannot be
    // read is not an error: Exists() is then false.
    TDeviceMap();
    ~TDeviceMap();
    TDeviceMap(const TDeviceMap&) = delete;
    TDeviceMap& operator=(const TDeviceMap&) = delete;

    bool Exists() const;

    // The text of the value Name, or nullopt when there is no such value (or
    // no map). A value that is not text raises ERegistryException
    // "Invalid registry data type: "<Name>""; one that cannot be read (it
    // vanished after it was found) raises "Failed to get data for value "<Name>"".
    std::optional<std::string> Value(const std::string& Name) const;

    // A serial port of the system that the scan by probe names never tries:
    // its port name, and the name the system also knows it by (the device
    // map's value name on Windows, a /dev/serial/by-id/ link on Linux; empty
    // when there is none).
    struct TOtherPort {
        std::string Port;
        std::string Alias;
    };
    // Every such port, in a stable order; none when the map is missing.
    std::vector<TOtherPort> OtherPorts() const;

    struct TImpl;

private:
    std::unique_ptr<TImpl> FImpl;
};

} // namespace hp::rt
