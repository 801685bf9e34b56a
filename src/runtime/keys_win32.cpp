#include "runtime/keys.h"

#include <windows.h>

namespace hp::rt {

namespace {

bool IsModifierOnly(WORD VirtualKey)
{
    switch (VirtualKey) {
    case VK_SHIFT: case VK_CONTROL: case VK_MENU: case VK_CAPITAL:
    case VK_NUMLOCK: case VK_SCROLL: case VK_LSHIFT: case VK_RSHIFT:
    case VK_LCONTROL: case VK_RCONTROL: case VK_LMENU: case VK_RMENU:
        return true;
    default:
        return false;
    }
}

bool IsKey(const INPUT_RECORD& R)
{
    return R.EventType == KEY_EVENT && R.Event.KeyEvent.bKeyDown
        && !IsModifierOnly(R.Event.KeyEvent.wVirtualKeyCode);
}

} // namespace

struct TKeyInput::TImpl {
    HANDLE In = INVALID_HANDLE_VALUE;
    bool Console = false;
    int Pending = -1;
};

TKeyInput::TKeyInput() : FImpl(std::make_unique<TImpl>())
{
    FImpl->In = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    FImpl->Console = FImpl->In != INVALID_HANDLE_VALUE && FImpl->In != nullptr
        && GetConsoleMode(FImpl->In, &mode);
}

TKeyInput::~TKeyInput() = default;

bool TKeyInput::IsConsole() const { return FImpl->Console; }

bool TKeyInput::KeyPressed()
{
    if (!FImpl->Console)
        return false;
    if (FImpl->Pending >= 0)
        return true;
    // Drop every event ahead of the first real key press.
    for (;;) {
        INPUT_RECORD r;
        DWORD n = 0;
        if (!PeekConsoleInputA(FImpl->In, &r, 1, &n) || n == 0)
            return false;
        if (IsKey(r))
            return true;
        ReadConsoleInputA(FImpl->In, &r, 1, &n);
    }
}

int TKeyInput::ReadKey()
{
    if (FImpl->Pending >= 0) {
        const int code = FImpl->Pending;
        FImpl->Pending = -1;
        return code;
    }
    if (!FImpl->Console)
        return 0;
    for (;;) {
        INPUT_RECORD r;
        DWORD n = 0;
        if (!ReadConsoleInputA(FImpl->In, &r, 1, &n))
            return 0;
        if (n == 0 || !IsKey(r))
            continue;
        const unsigned char c = static_cast<unsigned char>(r.Event.KeyEvent.uChar.AsciiChar);
        if (c != 0)
            return c;
        FImpl->Pending = r.Event.KeyEvent.wVirtualScanCode;
        return 0;
    }
}

void TKeyInput::WaitForKey()
{
    while (FImpl->Console && !KeyPressed()) {
        if (WaitForSingleObject(FImpl->In, INFINITE) != WAIT_OBJECT_0)
            return;
    }
}

// The key that ends the wait stays in the console's input, as a console
// program's caller expects.
void TKeyInput::ConsumeEndingKey() {}

} // namespace hp::rt
