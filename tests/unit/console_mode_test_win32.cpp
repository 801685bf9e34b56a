// The console input mode of a run, against a console that the test plays:
// Wine's console cannot show a QuickEdit selection.
#include "runtime/console_input_mode_win32.h"

#include <algorithm>
#include <vector>

#include <gtest/gtest.h>

namespace {

DWORD GMode;                       // 0: the input is no console
std::vector<DWORD> GRefused, GSet; // the modes it will not take; every mode asked for

BOOL WINAPI GetMode(HANDLE, LPDWORD Mode) { return *Mode = GMode, GMode != 0; }
BOOL WINAPI SetMode(HANDLE, DWORD Mode)
{
    GSet.push_back(Mode);
    return std::ranges::count(GRefused, Mode) ? FALSE : (GMode = Mode, TRUE);
}

TEST(InputMode, CtrlCIsAKeyAndQuickEditIsOffUntilTheModeFoundIsBack)
{
    struct TCase {
        DWORD Found;
        std::vector<DWORD> Refused, Set; // Set: at the start, then on the way out
    };
    const TCase cases[] = {
        {0x1F7, {}, {0x1B6, 0x1F7}},             // a classic console window, QuickEdit on
        {0x047, {}, {0x046, 0x047}},             // without the extended flags the bit means nothing
        {0x1F7, {0x1B6}, {0x1B6, 0x1F6, 0x1F7}}, // Ctrl+C a key all the same
        {0x1F7, {0x1B6, 0x1F6}, {0x1B6, 0x1F6}}, // nothing changed, nothing to undo
        {0, {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "#" << (&c - cases));
        GMode = c.Found, GRefused = c.Refused, GSet.clear();
        hp::rt::TInputMode mode(reinterpret_cast<HANDLE>(3), {GetMode, SetMode});
        mode.Restore();
        mode.Restore(); // the destructor after a control event's handler
        EXPECT_EQ(GSet, c.Set);
        EXPECT_EQ(GMode, c.Found);
    }
}

} // namespace
