#pragma once
// The port option as users mistype it.
#include <optional>
#include <string>
#include <vector>

namespace hp {

// True for each form of the port option itself: -p, -port, --p, --port,
// --p=PORT, --port=PORT.
bool IsPortOptionForm(const std::string& P);

// The first parameter that begins like the port option ("-p", "-P", "--p",
// "--P") but is none of its forms (-p, -port, --p, --port, --p=PORT,
// --port=PORT), or nullopt. Ignored like other unknown options, such a
// parameter would let the scan choose the board the font goes to.
std::optional<std::string> MistypedPortOption(const std::vector<std::string>& Params);

} // namespace hp
