#include "runtime/console_input_mode_win32.h"

namespace hp::rt {

TInputMode::TInputMode(HANDLE Input, TConsoleModeCalls Calls) : FInput(Input), FCalls(Calls)
{
    if (FInput == INVALID_HANDLE_VALUE || FInput == nullptr || !FCalls.GetMode(FInput, &FFound))
        return;
    // Ctrl+C typed at the console must arrive as a key (it ends the key wait)
    // rather than stop the program in the middle of a flash write.
    const DWORD keys = FFound & ~static_cast<DWORD>(ENABLE_PROCESSED_INPUT);
    // A click in the window starts a QuickEdit selection, and every console
    // write waits while it lasts: the upload's progress line would hold the
    // byte stream to the board mid-file. The QuickEdit bit counts only with
    // the extended flags; a mode found without them does not say whether
    // QuickEdit is on, and could not turn it on again, so it stays as it is.
    const DWORD quiet =
        (FFound & ENABLE_EXTENDED_FLAGS) ? keys & ~static_cast<DWORD>(ENABLE_QUICK_EDIT_MODE) : keys;
    // A console that refuses the QuickEdit change still gets Ctrl+C as a key.
    if (FCalls.SetMode(FInput, quiet) || (quiet != keys && FCalls.SetMode(FInput, keys)))
        InterlockedExchange(&FChanged, 1);
}

void TInputMode::Restore()
{
    if (InterlockedExchange(&FChanged, 0))
        FCalls.SetMode(FInput, FFound);
}

} // namespace hp::rt
