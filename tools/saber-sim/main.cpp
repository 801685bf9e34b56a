// saber-sim: a saber sound board on a pseudo-terminal, for trying hiltpush and
// for testing it without hardware. See README.md for the switches.
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <exception>

#include "options.h"
#include "simulator.h"

namespace {

// Owns the signalfd through which SIGINT, SIGTERM and SIGHUP stop the loop, so
// that every way out runs the destructors that take the device-map entry back.
class TStopSignals {
public:
    TStopSignals() {
        sigset_t set;
        sigemptyset(&set);
        for (const int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&set, sig);
        ::sigprocmask(SIG_BLOCK, &set, nullptr);
        FFd = ::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
        // A reader of standard output that goes away must not kill us.
        ::signal(SIGPIPE, SIG_IGN);
    }
    ~TStopSignals() {
        if (FFd >= 0) ::close(FFd);
    }
    TStopSignals(const TStopSignals&) = delete;
    TStopSignals& operator=(const TStopSignals&) = delete;
    int Fd() const { return FFd; }

private:
    int FFd = -1;
};

}  // namespace

int main(int argc, char** argv) {
    hp::sim::SimOptions options;
    std::string message;
    switch (hp::sim::ParseOptions(argc, argv, options, message)) {
    case hp::sim::ParseOutcome::Help:
        std::fputs(hp::sim::UsageText().c_str(), stdout);
        return 0;
    case hp::sim::ParseOutcome::Error:
        std::fprintf(stderr, "saber-sim: %s\n", message.c_str());
        return 2;
    case hp::sim::ParseOutcome::Run:
        break;
    }

    try {
        TStopSignals signals;
        if (signals.Fd() < 0) throw std::runtime_error("cannot receive stop signals");
        hp::sim::TSimulator simulator(options, signals.Fd());
        // The first line is the port; a caller that reads it may use the port
        // at once, the device map already names it.
        std::printf("%s\n", simulator.PortPath().c_str());
        std::fflush(stdout);
        std::fprintf(stderr, "saber-sim: serving %s, flash in %s\n", simulator.PortPath().c_str(),
                     simulator.FlashDir().c_str());
        simulator.Run();
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "saber-sim: %s\n", e.what());
        return 1;
    }
}
