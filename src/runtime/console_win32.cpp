#include "runtime/console.h"

#include <windows.h>

namespace hp::rt {

void ConsoleInit()
{
    // Ctrl+C typed at the console must arrive as a key (it ends the key wait)
    // rather than stop the program in the middle of a flash write.
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (in != INVALID_HANDLE_VALUE && GetConsoleMode(in, &mode))
        SetConsoleMode(in, mode & ~static_cast<DWORD>(ENABLE_PROCESSED_INPUT));
}

std::string_view LineEnd() { return "\r\n"; }

void WriteRawOutput(std::string_view Bytes)
{
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out == INVALID_HANDLE_VALUE || out == nullptr)
        return;
    const char* p = Bytes.data();
    std::size_t left = Bytes.size();
    while (left > 0) {
        DWORD done = 0;
        const DWORD chunk = left > 0x10000000 ? 0x10000000 : static_cast<DWORD>(left);
        if (!WriteFile(out, p, chunk, &done, nullptr) || done == 0)
            return;
        p += done;
        left -= done;
    }
}

} // namespace hp::rt
