// The saber's firmware as far as the wire shows it: a line-oriented command
// interpreter with an upload mode that takes raw bytes and an erase that runs
// on its own clock. It does no I/O of its own: bytes come in through OnBytes,
// replies pile up for TakeOutput, and time passes through OnTimer.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "chaos.h"
#include "flash.h"
#include "options.h"

namespace hp::sim {

using Clock = std::chrono::steady_clock;

// Level 0: always worth telling; 1: with -v; 2: with -v -v.
using Reporter = std::function<void(int level, const std::string& text)>;

class TBoard {
public:
    TBoard(const SimOptions& options, TFlash& flash, Reporter report);

    // The host opened the port (the first of its descriptors).
    void OnOpen(Clock::time_point now);
    // The host closed its last descriptor of the port.
    void OnClose();
    // The host discarded its input queue (our output) and/or its output queue.
    void OnHostPurge(bool input, bool output, Clock::time_point now);
    void OnBytes(const char* data, std::size_t size, Clock::time_point now);
    void OnTimer(Clock::time_point now);

    // When OnTimer next has something to do.
    std::optional<Clock::time_point> NextDeadline() const;
    std::string TakeOutput();

    bool HangUpRequested() const { return FHangUp; }
    // How many more bytes may be read from the host before the board stops
    // taking any (--stall-after); no value while there is no such limit.
    std::optional<std::int64_t> TakeLimit() const;
    int StoredUploads() const { return FStoredUploads; }
    bool Receiving() const { return FState == State::Receiving; }
    // The bytes a second the board takes in this session (0: no limit).
    std::int64_t LineRate() const;

private:
    enum class State { Idle, Receiving, Erasing, Busy };

    void SendBanner();
    void Emit(const std::string& text);   // one line, with the line end
    void EmitRaw(const std::string& bytes);
    std::optional<std::string> ReplyFor(const std::string& key, const std::string& normal) const;
    void Reply(const std::string& key, const std::string& normal);

    void Command(const std::string& line, Clock::time_point now);
    void Answer(const std::string& line, Clock::time_point now);
    // Where the next bytes for the host go: behind a delayed reply, if any.
    std::string& Out() { return FHeldDue ? FHeld : FOutput; }
    // The bytes after `mark` in Out() were one reply: --chaos may delay,
    // cut or replace them.
    void EndReply(std::size_t mark, Clock::time_point now);
    void Fired(const std::string& kind, const std::string& detail);
    void Listing();
    static std::string MadeUpLine(int n);
    // True (and the line is to be closed) when listing line `line` (1-based)
    // is past --hang-up-after-lines.
    bool ListingHangsUp(int line);
    void SoundList(const std::string& query);
    void Write(const std::string& body);
    void Erase(Clock::time_point now);
    std::size_t Receive(const char* data, std::size_t size, Clock::time_point now);
    void DataComplete(Clock::time_point now);
    void FinishUpload();
    void FinishErase();
    Clock::time_point EraseDue() const;

    const SimOptions& FOptions;
    TFlash& FFlash;
    Reporter FReport;
    std::string FLineEnd;
    std::vector<std::string> FMadeUpListing;  // --list-lines, made at start
    std::string FOutput;

    State FState = State::Idle;
    std::string FLine;            // command bytes before their line feed
    bool FLineTooLong = false;

    bool FBannerPending = false;
    Clock::time_point FBannerDue{};

    std::string FUploadName;
    std::int64_t FUploadSize = 0;
    std::int64_t FUploadReceived = 0;
    int FStoredUploads = 0;

    Clock::time_point FEraseStart{};
    Clock::duration FEraseLength{};
    int FDotsSent = 0;

    bool FChattering = false;     // --chatter, while the port is open
    Clock::time_point FChatterDue{};

    bool FHangUp = false;
    bool FStalled = false;
    bool FFrozen = false;         // takes in and says nothing more this session
    int FOpens = 0;               // the host's opens so far, this one included

    // Where the current upload ends early: hang up, or stop taking bytes,
    // after this many bytes of it (at its size: once all are in, see chaos.h).
    std::optional<std::int64_t> FHangUpAt;
    std::optional<std::int64_t> FStallAt;
    std::optional<Clock::time_point> FHangUpDue;

    std::optional<TChaosPlan> FChaos;   // this session's faults (--chaos)
    int FCommands = 0;                  // this session's commands so far
    int FReplies = 0;                   // and replies
    std::string FHeld;                  // output held back by a delayed reply
    std::optional<Clock::time_point> FHeldDue;
};

}  // namespace hp::sim
