#include "runtime/platform_error.h"

#include <cstring>

namespace hp::rt {

std::string PlatformErrorText(int Code)
{
    return std::strerror(Code);
}

} // namespace hp::rt
