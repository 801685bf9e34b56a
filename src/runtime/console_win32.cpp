#include "runtime/console.h"

#include "runtime/console_input_mode_win32.h"
#include "runtime/wide_text_win32.h"

#include <algorithm>
#include <optional>

#include <windows.h>

namespace hp::rt {

namespace {

// The input mode of the run, also for the ways out that skip destructors.
std::optional<TInputMode> GInputMode;

BOOL WINAPI RestoreOnControlEvent(DWORD)
{
    // Ctrl+Break, a closed window, a logoff: the process ends right after
    // this; the default handling still follows.
    if (GInputMode)
        GInputMode->Restore();
    return FALSE;
}

} // namespace

TConsoleSession::TConsoleSession()
{
    GInputMode.emplace(GetStdHandle(STD_INPUT_HANDLE));
    SetConsoleCtrlHandler(RestoreOnControlEvent, TRUE);
}

TConsoleSession::~TConsoleSession()
{
    GInputMode->Restore();
    SetConsoleCtrlHandler(RestoreOnControlEvent, FALSE);
}

std::string_view LineEnd() { return "\r\n"; }

namespace {

// Every failure (a closed pipe: ERROR_NO_DATA, ERROR_BROKEN_PIPE; a closed
// console) means the reader is gone, and the output with it.
void WriteAll(HANDLE Out, std::string_view Bytes)
{
    const char* p = Bytes.data();
    std::size_t left = Bytes.size();
    while (left > 0) {
        DWORD done = 0;
        const DWORD chunk = left > 0x10000000 ? 0x10000000 : static_cast<DWORD>(left);
        if (!WriteFile(Out, p, chunk, &done, nullptr) || done == 0)
            return;
        p += done;
        left -= done;
    }
}

void WriteConsoleAll(HANDLE Out, std::wstring_view Text)
{
    // Old consoles refuse a single write of more than some 64 KB.
    constexpr std::size_t MaxChunk = 8192;
    while (!Text.empty()) {
        std::size_t chunk = std::min(Text.size(), MaxChunk);
        // A surrogate pair stays in one piece.
        if (chunk < Text.size() && Text[chunk - 1] >= 0xD800 && Text[chunk - 1] <= 0xDBFF)
            --chunk;
        DWORD done = 0;
        if (!WriteConsoleW(Out, Text.data(), static_cast<DWORD>(chunk), &done, nullptr) || done == 0)
            return;
        Text.remove_prefix(std::min<std::size_t>(done, Text.size()));
    }
}

bool IsAscii(std::string_view Text)
{
    return std::all_of(Text.begin(), Text.end(), [](char C) { return static_cast<unsigned char>(C) < 0x80; });
}

void WriteTo(DWORD StdHandle, std::string_view Text, TTextOrigin Origin)
{
    HANDLE out = GetStdHandle(StdHandle);
    if (out == INVALID_HANDLE_VALUE || out == nullptr)
        return;
    // Bytes that read the same in every code page need no conversion.
    if (IsAscii(Text)) {
        WriteAll(out, Text);
        return;
    }
    DWORD mode = 0;
    if (GetConsoleMode(out, &mode)) {
        // A console window shows characters: what a name is called, what
        // the board's bytes read as in the ANSI code page.
        WriteConsoleAll(out, Origin == TTextOrigin::Program ? Widen(Text) : FromCodePage(Text, CP_ACP));
        return;
    }
    // A file or a pipe gets the bytes it always got: the ANSI code page.
    if (Origin == TTextOrigin::Program)
        WriteAll(out, ToCodePageLossy(Widen(Text), CP_ACP));
    else
        WriteAll(out, Text);
}

} // namespace

void WriteOutput(std::string_view Text, TTextOrigin Origin)
{
    WriteTo(STD_OUTPUT_HANDLE, Text, Origin);
}

void WriteErrorOutput(std::string_view Text)
{
    WriteTo(STD_ERROR_HANDLE, Text, TTextOrigin::Program);
}

} // namespace hp::rt
