// The simulator's end of a pseudo-terminal, and how it learns about the far
// end's opens and closes.
//
// The master side is put in packet mode, so that a purge (tcflush) by the
// host shows up as a status byte. A descriptor of the slave side (the
// "keeper") stays open for the whole run: without it the master reports a
// hang-up (POLLHUP, reads failing with EIO) every time the host closes the
// port, and a poll loop would spin until the next open. The keeper is opened
// with O_NOCTTY (so it never becomes a controlling terminal) and never
// locked, so the host's exclusive open (flock plus TIOCEXCL) still succeeds.
//
// Opens and closes of the slave are seen through inotify on the slave's
// device node: IN_OPEN for each open, IN_CLOSE_WRITE/IN_CLOSE_NOWRITE when
// the last descriptor of an open file description goes away. The keeper is
// opened before the watch is set, so it never shows up there.
#pragma once

#include <string>
#include <vector>

namespace hp::sim {

class TPseudoTerminal {
public:
    enum class PortEvent { Open, Close, Lost };

    struct ReadResult {
        enum Kind { Data, Status, Nothing, HungUp } What = Nothing;
        std::string Bytes;  // Data
        int Flags = 0;      // Status: TIOCPKT_* bits
    };

    // Opens a new pseudo-terminal, or with a `devicePath` serves that
    // existing terminal device instead (the device side of a USB serial
    // gadget, say), put in raw mode. Such a device tells nothing about the
    // far end's opens, closes and purges: there are no port events and no
    // status reads, and a read of nothing means the device went away.
    // Throws std::runtime_error when the terminal cannot be set up.
    explicit TPseudoTerminal(const std::string& devicePath = {});
    ~TPseudoTerminal();
    TPseudoTerminal(const TPseudoTerminal&) = delete;
    TPseudoTerminal& operator=(const TPseudoTerminal&) = delete;

    const std::string& SlavePath() const { return FSlavePath; }
    int MasterFd() const { return FMaster; }
    int WatchFd() const { return FWatch; }
    bool Open() const { return FMaster >= 0; }
    bool IsDevice() const { return !FPacketMode; }

    // Opens and closes seen since the last call, in order; never blocks.
    // Lost means the watch overflowed and some events are unknown.
    std::vector<PortEvent> TakePortEvents();

    // Reads at most `limit` data bytes, or one status byte; never blocks.
    ReadResult Read(std::size_t limit);
    // Consumes a purge status that is already waiting, so that it cannot be
    // mistaken for one that follows a later open. Returns its flags or 0.
    int DiscardPendingStatus();
    // Writes what it can; returns the count, 0 when the buffer is full, and
    // -1 on an error other than a full buffer.
    long Write(const char* data, std::size_t size);

    // After the host left: give up the exclusive mode it set (on a
    // pseudo-terminal that mode outlives the close and would turn away the
    // next open of an unprivileged user with EBUSY) and make the line raw
    // again for whoever opens it next.
    void Reset();
    // Replaces the keeper after the slave was hung up by someone else.
    bool RearmKeeper();
    // Closes both ends: the host's next read or write fails, as with a board
    // pulled from the USB socket.
    void HangUp();

private:
    void OpenPseudoTerminal();
    void OpenDevice();
    void CloseAll();

    int FMaster = -1;
    int FKeeper = -1;
    int FWatch = -1;
    bool FPacketMode = true;
    std::string FSlavePath;
};

}  // namespace hp::sim
