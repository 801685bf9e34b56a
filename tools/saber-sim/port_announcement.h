// Telling hiltpush where the simulated board sits: a value in a stand-in for
// the serial device map (a folder, as the Linux build reads it), or a COM
// port plus a registry value in a Wine prefix (for the Windows build). Each
// object takes its entry back when destroyed.
#pragma once

#include <string>

namespace hp::sim {

// "\Device\USBSER" and the index padded to three digits.
std::string DeviceValueName(int index);

class TDeviceMapEntry {
public:
    // Writes `text` to DIR/Device/USBSER<NNN>, creating the folders as
    // needed. The file appears at once and complete (written aside, then
    // renamed), so a reader never sees half a value.
    TDeviceMapEntry(const std::string& dir, int index, const std::string& text);
    ~TDeviceMapEntry();
    TDeviceMapEntry(const TDeviceMapEntry&) = delete;
    TDeviceMapEntry& operator=(const TDeviceMapEntry&) = delete;

    const std::string& Path() const { return FPath; }

private:
    std::string FPath;
    std::string FCreatedDevice;  // folders this object made, removed if empty
    std::string FCreatedRoot;
};

class TWineRegistration {
public:
    // Links PREFIX/dosdevices/com<N> to `target` and sets the value
    // \Device\USBSER<NNN> under HKLM\HARDWARE\DEVICEMAP\SERIALCOMM to
    // `text`. That key is volatile: it lives only as long as the prefix's
    // wineserver, so the caller keeps one running (wineserver -p).
    TWineRegistration(const std::string& prefix, int com, int index, const std::string& text,
                      const std::string& target);
    ~TWineRegistration();
    TWineRegistration(const TWineRegistration&) = delete;
    TWineRegistration& operator=(const TWineRegistration&) = delete;

private:
    std::string FPrefix;
    std::string FLink;
    int FIndex;
};

}  // namespace hp::sim
