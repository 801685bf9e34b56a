#pragma once
// The name a file is stored under in the saber's serial flash.
#include <string>

namespace hp {

// Everything up to and including the last path separator ('\', '/' or ':').
std::string DirectoryPart(const std::string& Path);

// The last path component, as is.
std::string FlashNameOf(const std::string& Path);

// False when the name holds a byte that cannot travel inside the one-line
// write command (a control byte or DEL); bytes above 0x7F are kept.
bool IsSafeFlashName(const std::string& Name);

} // namespace hp
