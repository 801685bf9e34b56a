// Finding the candidate ports: the USB serial devices that the system's
// serial device map lists under the fixed names \Device\USBSER000 to
// \Device\USBSER099.
#include "app/hiltpush.h"
#include "runtime/console.h"
#include "runtime/device_map.h"
#include "runtime/port_lines.h"
#include "runtime/trace.h"

#include <cstdio>

namespace hp {

namespace {
constexpr int ProbeCount = 100;

std::string ProbeName(int Counter)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "\\Device\\USBSER%03d", Counter);
    return buf;
}

} // namespace

std::vector<std::string> THiltPush::GetPorts()
{
    rt::WriteLine("Searching for Saber Ports...");
    std::vector<std::string> ports;
    const rt::TDeviceMap map;
    if (!map.Exists()) {
        rt::TraceRecord("device map missing");
        return ports;
    }
    // Every name is probed: devices come and go, so the counters need not be
    // contiguous.
    for (int counter = 0; counter < ProbeCount; ++counter) {
        const std::string name = ProbeName(counter);
        const std::optional<std::string> text = map.Value(name);
        if (!text)
            continue;
        // What the run found, so that it can be played again.
        if (rt::TraceOn())
            rt::TraceRecord("device map " + rt::TraceQuoted(name) + " -> " + rt::TraceQuoted(*text));
        for (auto& line : rt::SplitPortLines(*text))
            ports.push_back(std::move(line));
        rt::WriteLine(*text + " : " + name);
    }
    return ports;
}

} // namespace hp
