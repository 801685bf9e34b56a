#include "runtime/keys.h"

#include <cerrno>
#include <csignal>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace hp::rt {

namespace {

// Bytes that follow an Esc within this time belong to the same key (the
// rest of a function key's escape sequence); a terminal sends them together.
constexpr int EscapeSequenceGapMs = 30;

// The code reported after the 0 of a NUL key.
constexpr int NulKeyCode = 3;

// The settings to restore if a signal ends the program during the wait.
struct termios GSavedTermios;
volatile sig_atomic_t GTermiosSaved = 0;
struct sigaction GOldTerm, GOldHup, GOldQuit;

void RestoreOnSignal(int Sig)
{
    if (GTermiosSaved)
        tcsetattr(STDIN_FILENO, TCSANOW, &GSavedTermios);
    // Hand the signal on with its usual effect.
    signal(Sig, SIG_DFL);
    raise(Sig);
}

bool WaitReadable(int TimeoutMs)
{
    pollfd p{STDIN_FILENO, POLLIN, 0};
    for (;;) {
        const int r = poll(&p, 1, TimeoutMs);
        if (r < 0 && errno == EINTR)
            continue;
        return r > 0;
    }
}

} // namespace

struct TKeyInput::TImpl {
    bool Console = false;
    bool Ended = false;   // input closed: no key will ever come
    int Pending = -1;     // second half of a function key
};

TKeyInput::TKeyInput() : FImpl(std::make_unique<TImpl>())
{
    if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &GSavedTermios) != 0)
        return;
    FImpl->Console = true;
    GTermiosSaved = 1;
    struct sigaction sa {};
    sa.sa_handler = RestoreOnSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, &GOldTerm);
    sigaction(SIGHUP, &sa, &GOldHup);
    sigaction(SIGQUIT, &sa, &GOldQuit);

    struct termios keyMode = GSavedTermios;
    keyMode.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG | IEXTEN);
    keyMode.c_iflag &= ~static_cast<tcflag_t>(IXON | ICRNL);
    keyMode.c_cc[VMIN] = 1;
    keyMode.c_cc[VTIME] = 0;
    // TCSAFLUSH also discards what was typed before the prompt.
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &keyMode);
}

TKeyInput::~TKeyInput()
{
    if (!FImpl->Console)
        return;
    tcsetattr(STDIN_FILENO, TCSANOW, &GSavedTermios);
    GTermiosSaved = 0;
    sigaction(SIGTERM, &GOldTerm, nullptr);
    sigaction(SIGHUP, &GOldHup, nullptr);
    sigaction(SIGQUIT, &GOldQuit, nullptr);
}

bool TKeyInput::IsConsole() const { return FImpl->Console; }

bool TKeyInput::KeyPressed()
{
    if (FImpl->Ended)
        return false;
    return FImpl->Pending >= 0 || WaitReadable(0);
}

int TKeyInput::ReadKey()
{
    if (FImpl->Pending >= 0) {
        const int code = FImpl->Pending;
        FImpl->Pending = -1;
        return code;
    }
    if (FImpl->Ended)
        return 0;
    unsigned char c = 0;
    ssize_t n;
    do {
        n = ::read(STDIN_FILENO, &c, 1);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) {
        FImpl->Ended = true;
        return 0;
    }
    if (c == 0) {
        // A NUL byte (Ctrl+Space, Ctrl+@) is a whole key without a
        // character: its second half (the code of the '2' key it shares, as
        // a PC console reports it) is at hand at once, so that reading it
        // never waits for another key.
        FImpl->Pending = NulKeyCode;
        return 0;
    }
    if (c != 0x1B || !WaitReadable(EscapeSequenceGapMs))
        return c;
    // A function key: swallow its whole sequence and report it as 0 + code.
    unsigned char last = c;
    for (int i = 0; i < 16 && WaitReadable(EscapeSequenceGapMs); ++i) {
        if (::read(STDIN_FILENO, &last, 1) != 1)
            break;
        // A sequence ends with a letter or '~' after its introducer.
        if (i > 0 && ((last >= 0x40 && last <= 0x7E)))
            break;
    }
    FImpl->Pending = last;
    return 0;
}

void TKeyInput::WaitForKey()
{
    if (!FImpl->Console || FImpl->Ended || FImpl->Pending >= 0)
        return;
    WaitReadable(-1);
}

void TKeyInput::ConsumeEndingKey()
{
    if (!FImpl->Console || !KeyPressed())
        return;
    if (ReadKey() == 0)
        ReadKey();
}

} // namespace hp::rt
