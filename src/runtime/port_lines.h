#pragma once
// The port names a device-map value holds: one per line. Kept free of any
// platform call: the scan and the list of ports it leaves out read values
// alike on every platform.
#include <string>
#include <vector>

namespace hp::rt {

// CR, LF and CR LF each end a line, a final line break adds no empty entry,
// and an empty text gives none; an empty line between two others is an
// empty entry.
std::vector<std::string> SplitPortLines(const std::string& Text);

} // namespace hp::rt
