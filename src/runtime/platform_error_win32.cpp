#include "runtime/platform_error.h"

#include "runtime/wide_text_win32.h"

#include <windows.h>

namespace hp::rt {

std::string PlatformErrorText(int Code)
{
    wchar_t* text = nullptr;
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM
                                       | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, static_cast<DWORD>(Code), 0,
                                   reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string message = n > 0 && text ? Narrow(std::wstring_view(text, n)) : std::string();
    if (text)
        LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' '))
        message.pop_back();
    if (message.empty())
        message = "System error " + std::to_string(Code);
    return message;
}

} // namespace hp::rt
