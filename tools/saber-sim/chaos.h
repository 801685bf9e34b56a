// --chaos SEED: the faults of each session (one open of the port by the
// host), drawn from the seed and the session's number alone, so that a seed
// replays the same faults. The board applies them (board.cpp) and tells each
// one as it happens, on a line "chaos: <kind> ...", so that a driver can
// count them by kind.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace hp::sim {

// What happens to one reply of the session (the Nth command's answer; the
// closing line of an upload counts as a reply of its own).
struct TReplyFault {
    enum Kind { DelayBelow, DelayBeyond, Cut, Garbage, CrOnly } What = DelayBelow;
    int Reply = 1;               // 1 = the session's first reply
    int DelayMs = 0;             // DelayBelow / DelayBeyond
    int AgainstMs = 0;           // the host's time-out the delay was drawn against
    double Keep = 0;             // Cut: the share of the reply that goes out (never its line end)
    std::string Text;            // Garbage / CrOnly: sent instead of the reply
};

// A byte of an upload's data: a share of it, or a count before its end.
struct TDataPoint {
    double Share = 0;
    std::optional<std::int64_t> FromEnd;
    std::int64_t At(std::int64_t size) const;
};

struct TChaosPlan {
    std::vector<std::string> Kinds;         // the planned faults' kinds, for the log
    std::string DataKind;                   // the kind behind HangUp, Stall or LineRate
    std::vector<TReplyFault> Replies;
    std::optional<int> HangUpAtCommand;     // on receiving the Nth command
    bool RefuseWrite = false;
    std::optional<std::int64_t> Free;       // FREE? is answered with this
    // Hang up after this byte of the data; at the data's end the board has not
    // stored the file yet and goes away HangUpDelayMs later, while the host
    // awaits the closing line.
    std::optional<TDataPoint> HangUp;
    int HangUpDelayMs = 0;
    // Stop taking bytes after this byte of the data; at the data's end the
    // file is stored and the board then takes and says nothing more.
    std::optional<TDataPoint> Stall;
    std::int64_t LineRate = 0;              // take in at most this many bytes a second
};

TChaosPlan PlanChaos(std::uint64_t seed, int session);

// One line for the log: the plan's faults with their parameters.
std::string Describe(const TChaosPlan& plan);

}  // namespace hp::sim
