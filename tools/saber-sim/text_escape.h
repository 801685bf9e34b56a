// Escapes for texts given on the command line and for the wire log.
#pragma once

#include <string>

namespace hp::sim {

// Turns \r, \n, \t, \\ and \xHH into their bytes; every other character stands
// for itself. Throws std::invalid_argument for a malformed \x or a lone
// trailing backslash, so that a typo is reported instead of sent.
std::string Unescape(const std::string& text);

// Printable ASCII stays as it is (apart from '\\' and '"'); everything else is
// written as \r, \n, \t or \xHH, so the result holds no control byte and
// no bare '"' and fits in a double-quoted field at the end of a log line.
std::string Escape(const std::string& bytes);

// Lower-case hexadecimal, two digits per byte, no separators.
std::string Hex(const std::string& bytes);

}  // namespace hp::sim
