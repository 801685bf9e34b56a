#pragma once
// Console keys for the finish prompt. While a TKeyInput exists the console
// delivers single key presses (no Enter needed, no echo, Ctrl+C as a key);
// its destructor puts the console back as it was, on every way out.
#include <memory>

namespace hp::rt {

class TKeyInput {
public:
    TKeyInput();
    ~TKeyInput();
    TKeyInput(const TKeyInput&) = delete;
    TKeyInput& operator=(const TKeyInput&) = delete;

    // False when standard input is not an interactive console (a pipe, a
    // file, /dev/null): there is nobody to press a key, so do not wait.
    bool IsConsole() const;

    // A key is waiting to be read. Never blocks.
    bool KeyPressed();

    // Reads one key, waiting for it: its character, or 0 for a key without a
    // character (a function or arrow key), whose code the next call returns.
    int ReadKey();

    // Blocks until KeyPressed would be true, without polling.
    void WaitForKey();

    // Takes the key that ended the wait out of the input where the platform
    // would otherwise hand it on (a terminal's shell); a no-op where the key
    // stays with the console.
    void ConsumeEndingKey();

    struct TImpl;

private:
    std::unique_ptr<TImpl> FImpl;
};

} // namespace hp::rt
