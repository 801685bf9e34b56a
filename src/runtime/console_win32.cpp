#include "runtime/console.h"

#include <windows.h>

namespace hp::rt {

namespace {

// The input mode found at start-up, for the ways out that skip destructors.
HANDLE GInput = nullptr;
DWORD GSavedMode = 0;
volatile LONG GModeChanged = 0;

void RestoreInputMode()
{
    if (InterlockedExchange(&GModeChanged, 0))
        SetConsoleMode(GInput, GSavedMode);
}

BOOL WINAPI RestoreOnControlEvent(DWORD)
{
    // Ctrl+Break, a closed window, a logoff: the process ends right after
    // this; the default handling still follows.
    RestoreInputMode();
    return FALSE;
}

} // namespace

TConsoleSession::TConsoleSession()
{
    // Ctrl+C typed at the console must arrive as a key (it ends the key wait)
    // rather than stop the program in the middle of a flash write.
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (in == INVALID_HANDLE_VALUE || in == nullptr || !GetConsoleMode(in, &mode))
        return;
    GInput = in;
    GSavedMode = mode;
    SetConsoleCtrlHandler(RestoreOnControlEvent, TRUE);
    if (SetConsoleMode(in, mode & ~static_cast<DWORD>(ENABLE_PROCESSED_INPUT)))
        InterlockedExchange(&GModeChanged, 1);
}

TConsoleSession::~TConsoleSession()
{
    RestoreInputMode();
    if (GInput)
        SetConsoleCtrlHandler(RestoreOnControlEvent, FALSE);
}

std::string_view LineEnd() { return "\r\n"; }

namespace {

void WriteAll(DWORD StdHandle, std::string_view Bytes)
{
    HANDLE out = GetStdHandle(StdHandle);
    if (out == INVALID_HANDLE_VALUE || out == nullptr)
        return;
    const char* p = Bytes.data();
    std::size_t left = Bytes.size();
    while (left > 0) {
        DWORD done = 0;
        const DWORD chunk = left > 0x10000000 ? 0x10000000 : static_cast<DWORD>(left);
        // A closed pipe (ERROR_NO_DATA, ERROR_BROKEN_PIPE) or any other
        // failure: the console is gone, and the output with it.
        if (!WriteFile(out, p, chunk, &done, nullptr) || done == 0)
            return;
        p += done;
        left -= done;
    }
}

} // namespace

void WriteOutput(std::string_view Text, TTextOrigin)
{
    WriteAll(STD_OUTPUT_HANDLE, Text);
}

void WriteErrorOutput(std::string_view Text)
{
    WriteAll(STD_ERROR_HANDLE, Text);
}

} // namespace hp::rt
