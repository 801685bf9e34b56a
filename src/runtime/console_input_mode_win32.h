#pragma once
// The console's input mode for the length of the program. Included by Win32
// sources only.
#include <windows.h>

namespace hp::rt {

// The console-mode calls, as a table, so that a test can play the console.
struct TConsoleModeCalls {
    BOOL(WINAPI* GetMode)(HANDLE, LPDWORD) = GetConsoleMode;
    BOOL(WINAPI* SetMode)(HANDLE, DWORD) = SetConsoleMode;
};

// Switches a console's input for the run: Ctrl+C arrives as a key, and
// QuickEdit is off. Input that is no console, or a mode that cannot be
// changed, is left as it is. Restore puts back the mode found, once, for
// whichever way out comes first; it may run on the thread of a console
// control event.
class TInputMode {
public:
    explicit TInputMode(HANDLE Input, TConsoleModeCalls Calls = {});
    void Restore();

private:
    HANDLE FInput;
    TConsoleModeCalls FCalls;
    DWORD FFound = 0;
    volatile LONG FChanged = 0;
};

} // namespace hp::rt
