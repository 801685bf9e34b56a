// Finding the candidate ports: the USB serial devices that the system's
// serial device map lists under the fixed names \Device\USBSER000 to
// \Device\USBSER099.
#include "app/hiltpush.h"
#include "runtime/console.h"
#include "runtime/device_map.h"

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

// A value may hold several port names, one per line: CR, LF and CR LF each
// end a line, a final line break adds no empty entry, and an empty text
// gives none.
std::vector<std::string> SplitPortLines(const std::string& Text)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    std::size_t i = 0;
    while (i < Text.size()) {
        const char c = Text[i];
        if (c != '\r' && c != '\n') {
            ++i;
            continue;
        }
        lines.push_back(Text.substr(start, i - start));
        // CR LF is one line break, not two.
        i += (c == '\r' && i + 1 < Text.size() && Text[i + 1] == '\n') ? 2 : 1;
        start = i;
    }
    if (start < Text.size())
        lines.push_back(Text.substr(start));
    return lines;
}

} // namespace

std::vector<std::string> THiltPush::GetPorts()
{
    rt::WriteLine("Searching for Saber Ports...");
    std::vector<std::string> ports;
    const rt::TDeviceMap map;
    if (!map.Exists())
        return ports;
    // Every name is probed: devices come and go, so the counters need not be
    // contiguous.
    for (int counter = 0; counter < ProbeCount; ++counter) {
        const std::string name = ProbeName(counter);
        const std::optional<std::string> text = map.Value(name);
        if (!text)
            continue;
        for (auto& line : SplitPortLines(*text))
            ports.push_back(std::move(line));
        rt::WriteLine(*text + " : " + name);
    }
    return ports;
}

} // namespace hp
