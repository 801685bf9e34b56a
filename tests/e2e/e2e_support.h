#pragma once
// End-to-end harness: runs the real hiltpush binary against the board
// simulator saber-sim and captures what a user would see.
//
// One native test program serves every build. What it drives is chosen on
// its command line (or by environment variables of the same meaning), read
// by InitE2E() before the tests run:
//
//   --hiltpush PATH    binary under test             (env HP_E2E_HILTPUSH)
//   --saber-sim PATH   the simulator                 (env HP_E2E_SABER_SIM)
//   --wine             PATH is a Windows build; run it under wine and give it
//                      its ports through the registry of $WINEPREFIX
//                      (env HP_E2E_WINE=1). The Wine rig's fixture must be
//                      running (tests/wine/README.md): WINEPREFIX, WINEDEBUG
//                      and LD_PRELOAD are taken from this program's own
//                      environment and passed on.
//
// Typical test:
//
//   hp::e2e::TWorld W;                                 // fresh temp folder + device map
//   auto& Sim = W.StartSim(0, {"--free", "100000"});   // port at \Device\USBSER000
//   W.WriteFile("song.wav", Bytes);
//   auto R = W.Run({"-s", "song.wav"});               // cwd = W.Dir(), stdin = /dev/null
//   Sim.Stop();
//   EXPECT_EQ(R.ExitStatus, 0);
//   EXPECT_EQ(R.Lines()[3], "...");
//   EXPECT_EQ(Sim.FlashFile("song.wav"), Bytes);
//   EXPECT_EQ(Sim.Received().substr(0, 3), "V?\n");
//
// Nothing here sleeps: the harness waits on pipes and process exits, each
// with a hard time limit, and fails the test when one is exceeded.
//
// The program links hp_e2e_support, which brings main() (do not link
// gtest_main). Register its suites with hp_add_e2e_suites() in
// tests/e2e/CMakeLists.txt: one CTest entry per suite in the Linux trees, and
// in the Windows tree the same native program run with --wine against
// hiltpush.exe. Ports under Wine are the first free COM numbers from 10 up
// (dosdevices links made and removed by the harness); the Wine entries hold
// the resource lock "wine_serialcomm" because they rewrite the SERIALCOMM key.
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace hp::e2e {

struct TE2EConfig {
    std::string Hiltpush;
    std::string SaberSim;
    bool Wine = false;
};

// Reads and removes the harness options from argv (call before
// testing::InitGoogleTest). Exits with a message when the binary under test
// or the simulator cannot be found.
void InitE2E(int& argc, char** argv);
const TE2EConfig& Config();

// One line of the program's standard output, as it arrived.
struct TOutLine {
    std::string Text;   // without the line end ("\n", or "\r\n" from Windows)
    double AtMs = 0;    // when its line end arrived, ms after the start
};

struct TRunResult {
    std::string Out;               // standard output, every byte
    std::string Err;               // standard error
    int ExitStatus = -1;           // the exit status; -1 when killed by a signal
    bool TimedOut = false;         // killed at the time limit
    double WallMs = 0;             // start to exit
    double CpuMs = 0;              // the child's user + system time
    std::vector<TOutLine> Timed;   // Out split into lines, with arrival times
    // Every read of standard output: when it arrived (ms after the start) and
    // the size of Out after it, so a test can tell when any byte was seen.
    struct TChunk {
        double AtMs = 0;
        std::size_t End = 0;
    };
    std::vector<TChunk> Chunks;

    // Out split at "\n", with a "\r" before it removed when the program runs
    // under Wine (its line end is "\r\n"; other CRs are kept). A last piece
    // without a line end is the last element.
    std::vector<std::string> Lines() const;
    // The first line whose text is Text, or nullptr.
    const TOutLine* FindLine(const std::string& Text) const;
};

struct TRunOptions {
    std::map<std::string, std::string> Env;   // added to the environment
    std::string Cwd;                          // default: the world's folder
    int TimeLimitMs = 60000;
    std::string Program;                      // default: Config().Hiltpush (a copy, say)
    // Called with each output line as it arrives (while the program runs):
    // a test can act at a known point of the run, a file changed, say.
    std::function<void(const std::string&)> OnLine;
    // Non-empty: the reading end of standard output is closed as soon as a
    // line beginning with this text arrived (a console that goes away, like
    // "| head"); later output is lost and writes to it fail.
    std::string CloseOutputAfter;
};

// Runs any program (no device map, no Wine) with stdin = /dev/null, the
// environment plus Env, in Cwd, killed after TimeLimitMs.
TRunResult RunProcess(const std::vector<std::string>& Argv, const std::map<std::string, std::string>& Env,
                      const std::string& Cwd, int TimeLimitMs,
                      const std::function<void(const std::string&)>& OnLine = {},
                      const std::string& CloseOutputAfter = {});

// A running simulator. Stopped (SIGTERM, then waited for) by Stop() or the
// destructor.
class TSaberSim {
public:
    TSaberSim(const std::vector<std::string>& Args, const std::string& WorkDir, const std::string& Name);
    ~TSaberSim();
    TSaberSim(const TSaberSim&) = delete;
    TSaberSim& operator=(const TSaberSim&) = delete;

    const std::string& PtyPath() const { return FPtyPath; }
    const std::string& FlashDir() const { return FFlashDir; }
    // Stops the simulator (idempotent) once it has seen every host close
    // the port (within a bound); its log is complete afterwards.
    void Stop();
    // The content stored under Name in the flash folder, or nullopt.
    std::optional<std::string> FlashFile(const std::string& Name) const;
    // Names stored in the flash folder, sorted.
    std::vector<std::string> FlashNames() const;
    // The raw wire log (see tools/saber-sim/README.md).
    std::string WireLog() const;
    // Every byte the simulator received, in order, across all opens.
    std::string Received() const;
    // Every byte the simulator sent.
    std::string Sent() const;
    // How often the port was opened and closed by a program (from the log).
    int Opens() const;
    int Closes() const;
    // The simulator's standard error.
    std::string Diagnostics() const;

private:
    void AwaitHostGone() const;

    int FPid = -1;
    int FOut = -1;
    std::string FPtyPath;
    std::string FFlashDir;
    std::string FLogPath;
    std::string FErrPath;
};

// A serial device that is not a saber and never pauses: a pseudo-terminal
// whose far end writes a reading ("23.5") per line back to back, as fast as
// they are read, from construction until destruction.
class TChattyDevice {
public:
    TChattyDevice();
    ~TChattyDevice();
    TChattyDevice(const TChattyDevice&) = delete;
    TChattyDevice& operator=(const TChattyDevice&) = delete;
    const std::string& PtyPath() const { return FPtyPath; }
    // Every byte the device was sent so far.
    std::string Received() const;

private:
    struct TImpl;
    std::unique_ptr<TImpl> FImpl;
    std::string FPtyPath;
};

// A fresh temporary folder (removed at the end unless HP_E2E_KEEP is set)
// with its own device map. In native mode the device map is a folder named by
// HILTPUSH_SERIALCOMM (missing until a value is written); under Wine it is the
// prefix's SERIALCOMM registry key, whose \Device\USBSER000..100 values are
// replaced by this world's before each Run, together with the values of
// other names it wrote (the key itself always exists there: it is volatile
// and cannot be recreated).
class TWorld {
public:
    TWorld();
    ~TWorld();
    TWorld(const TWorld&) = delete;
    TWorld& operator=(const TWorld&) = delete;

    const std::string& Dir() const { return FDir; }

    // Starts a simulator whose port is entered at \Device\USBSER<Index> of
    // the device map (value text: the port name); a negative Index enters it
    // nowhere. Extra switches follow.
    TSaberSim& StartSim(int Index, const std::vector<std::string>& Extra = {});

    // The name of a port that cannot be opened.
    std::string MissingPortName() const;

    // Writes a device-map value directly. Text is the value's exact text.
    void SetMapValue(int Index, const std::string& Text);
    // Makes \Device\USBSER<Index> a value that is not text.
    void SetMapNonText(int Index);
    // Writes a value of any name ("\\Device\\VCP0"); under Wine it is
    // removed from the key again when the world ends.
    void SetMapValue(const std::string& Name, const std::string& Text);
    // Native mode: the folder that HILTPUSH_SERIALCOMM names.
    const std::string& MapDir() const { return FMapDir; }
    // The port name of a running simulator as a device-map value holds it.
    std::string PortNameOf(const TSaberSim& Sim) const;

    // Enters a pseudo-terminal of the test's own at \Device\USBSER<Index>
    // (under Wine behind a COM link); returns its port name.
    std::string AddPort(int Index, const std::string& PtyPath);

    // Writes a file into the world's folder (creating sub-folders).
    std::string WriteFile(const std::string& RelPath, const std::string& Bytes) const;

    // Runs the binary under test with the arguments; stdin is /dev/null.
    TRunResult Run(const std::vector<std::string>& Args, const TRunOptions& Options = {}) const;

private:
    // Clear: every value this world may have written is deleted instead.
    void ImportWineDeviceMap(bool Clear = false) const;

    std::string FDir;
    std::string FMapDir;
    std::vector<std::unique_ptr<TSaberSim>> FSims;
    // Wine: values by full name.
    std::map<std::string, std::string> FNamedValues;
    // Links a free COMn of the Wine prefix to PtyPath; returns n.
    int LinkCom(const std::string& PtyPath);

    std::map<const TSaberSim*, int> FComOf;
    std::vector<int> FComs;
};

// Bytes 0..255 repeated to Size bytes, shuffled by a fixed rule so that every
// value appears next to many others.
std::string PatternBytes(std::size_t Size);

// Reads a whole file; nullopt when it cannot be opened.
std::optional<std::string> ReadWholeFile(const std::string& Path);

} // namespace hp::e2e
