#include "chaos.h"

#include <algorithm>
#include <cmath>
#include <iterator>

#include "text_escape.h"

namespace hp::sim {
namespace {

// Our own generator and draws (not <random>'s distributions, whose results
// differ between standard libraries): a seed must replay the same faults on
// every build of the simulator.
class TDraw {
public:
    TDraw(std::uint64_t seed, int session) : FState(seed * 0x9E3779B97F4A7C15ull + static_cast<std::uint64_t>(session)) {
        Next();
    }
    std::uint64_t Next() {
        std::uint64_t z = (FState += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    double Unit() { return static_cast<double>(Next() >> 11) * 0x1.0p-53; }  // [0, 1)
    double Between(double low, double high) { return low + (high - low) * Unit(); }
    std::int64_t Int(std::int64_t low, std::int64_t high) {  // [low, high]
        return low + static_cast<std::int64_t>(Next() % static_cast<std::uint64_t>(high - low + 1));
    }
    bool Chance(double p) { return Unit() < p; }

private:
    std::uint64_t FState;
};

// The host's reply time-outs: an ordinary reply, a verification reply (and
// its bound in all), the write command's reply. A delay is drawn below or
// beyond one of them.
constexpr int TimeOuts[] = {500, 1500, 2500, 5000};

// How often each fault is drawn, relatively. A stall inside the data costs
// the host's 30 s write time-out, so it is rare. At most one fault per
// session decides what becomes of the data (Data). Slow reading joins none
// of the others: a pseudo-terminal's writer cannot see the bytes its reader
// has not taken yet, so a fault at a byte the board reads only late could
// come after the host had rightly finished.
struct TKind {
    const char* Name;
    int Weight;
    bool Data;
};
constexpr TKind Kinds[] = {
    {"delay-below", 12, false},  {"delay-beyond", 8, false}, {"cut", 6, false},
    {"garbage", 6, false},       {"cr-only", 5, false},      {"write-refused", 3, false},
    {"free-low", 4, false},      {"hang-up-command", 4, false}, {"hang-up-data", 9, true},
    {"hang-up-tail", 9, true},   {"hang-up-end", 10, true},  {"stall-data", 2, true},
    {"stall-end", 5, true},      {"slow", 10, true},
};

std::string RandomText(TDraw& draw, bool printable) {
    std::string text;
    const auto length = draw.Int(1, 60);
    for (std::int64_t i = 0; i < length; ++i) {
        char c;
        do c = static_cast<char>(printable ? draw.Int(0x20, 0x7E) : draw.Int(1, 255));
        while (c == '\n');
        text += c;
    }
    return text;
}

void Add(TChaosPlan& plan, const std::string& kind, TDraw& draw, int replies, int commands) {
    plan.Kinds.push_back(kind);
    auto reply = [&](TReplyFault::Kind what) -> TReplyFault& {
        plan.Replies.push_back({});
        plan.Replies.back().What = what;
        plan.Replies.back().Reply = static_cast<int>(draw.Int(1, replies));
        return plan.Replies.back();
    };
    if (kind == "delay-below" || kind == "delay-beyond") {
        const bool below = kind == "delay-below";
        auto& f = reply(below ? TReplyFault::DelayBelow : TReplyFault::DelayBeyond);
        f.AgainstMs = TimeOuts[draw.Int(0, std::size(TimeOuts) - 1)];
        f.DelayMs = static_cast<int>(f.AgainstMs * (below ? draw.Between(0.1, 0.8) : draw.Between(1.2, 1.8)));
    } else if (kind == "cut") {
        reply(TReplyFault::Cut).Keep = draw.Unit();
    } else if (kind == "garbage") {
        reply(TReplyFault::Garbage).Text = RandomText(draw, false) + "\n";
    } else if (kind == "cr-only") {
        auto& f = reply(TReplyFault::CrOnly);
        for (auto n = draw.Int(1, 3); n > 0; --n) f.Text += RandomText(draw, true).substr(0, 8) + "\r";
    } else if (kind == "write-refused") {
        plan.RefuseWrite = true;
    } else if (kind == "free-low") {
        plan.Free = draw.Int(0, 320 * 1024);
    } else if (kind == "hang-up-command") {
        plan.HangUpAtCommand = static_cast<int>(draw.Int(1, commands));
    } else if (kind == "hang-up-data") {
        plan.HangUp = TDataPoint{draw.Unit(), std::nullopt};
    } else if (kind == "hang-up-tail") {
        plan.HangUp = TDataPoint{0, draw.Int(1, 64)};
    } else if (kind == "hang-up-end") {
        // Soon after the last byte: the host waits 0.5 s for the closing
        // line, and a loaded machine may be slow to hand the board that byte.
        plan.HangUp = TDataPoint{0, 0};
        plan.HangUpDelayMs = static_cast<int>(draw.Int(0, 100));
    } else if (kind == "stall-data") {
        plan.Stall = TDataPoint{draw.Unit(), std::nullopt};
    } else if (kind == "stall-end") {
        plan.Stall = TDataPoint{0, 0};
    } else if (kind == "slow") {
        // Slow enough to hold the host's writes back, but the terminal's
        // buffer (about 20 KiB) still drains within a third of the host's
        // wait for the closing line: what a pseudo-terminal holds its writer
        // cannot count, and the purge at the host's close discards it, so a
        // slower board would lose there the bytes that a real port's driver
        // keeps and makes the host wait for.
        plan.LineRate = static_cast<std::int64_t>(std::exp(draw.Between(std::log(128000.0), std::log(384000.0))));
    }
}

}  // namespace

std::int64_t TDataPoint::At(std::int64_t size) const {
    if (FromEnd) return std::max<std::int64_t>(0, size - *FromEnd);
    return std::min<std::int64_t>(size, static_cast<std::int64_t>(Share * static_cast<double>(size)));
}

TChaosPlan PlanChaos(std::uint64_t seed, int session) {
    TDraw draw(seed, session);
    TChaosPlan plan;
    // The first session is the host's check of the board: a fault there ends
    // most runs before any data moves, so most of them pass it untouched.
    if (session == 1 && draw.Chance(0.7)) return plan;
    // The host's check asks three questions; an upload asks five and gets a
    // sixth reply, the closing line.
    const int commands = session == 1 ? 3 : 5;
    const int replies = session == 1 ? 3 : 6;
    int total = 0;
    for (const auto& k : Kinds) total += k.Weight;
    const int count = 1 + (draw.Chance(0.4) ? 1 : 0) + (draw.Chance(0.15) ? 1 : 0);
    bool dataDecided = false;
    for (int n = 0; n < count; ++n) {
        std::int64_t pick = draw.Int(0, total - 1);
        const TKind* kind = Kinds;
        while (pick >= kind->Weight) pick -= (kind++)->Weight;
        if (kind->Data) {
            if (dataDecided) continue;
            dataDecided = true;
            plan.DataKind = kind->Name;
        }
        Add(plan, kind->Name, draw, replies, commands);
    }
    return plan;
}

std::string Describe(const TChaosPlan& plan) {
    std::string text;
    for (const auto& kind : plan.Kinds) text += (text.empty() ? "" : " ") + kind;
    for (const auto& f : plan.Replies) {
        text += "; reply " + std::to_string(f.Reply);
        if (f.What == TReplyFault::DelayBelow || f.What == TReplyFault::DelayBeyond)
            text += " delayed " + std::to_string(f.DelayMs) + " ms (time-out " + std::to_string(f.AgainstMs) + ")";
        else if (f.What == TReplyFault::Cut)
            text += " cut to " + std::to_string(static_cast<int>(f.Keep * 100)) + "%";
        else
            text += " replaced by \"" + Escape(f.Text) + "\"";
    }
    if (plan.HangUpAtCommand) text += "; hang-up at command " + std::to_string(*plan.HangUpAtCommand);
    if (plan.Free) text += "; FREE=" + std::to_string(*plan.Free);
    auto point = [](const TDataPoint& p) {
        return p.FromEnd ? std::to_string(*p.FromEnd) + " bytes before the end"
                         : std::to_string(static_cast<int>(p.Share * 100)) + "% of the data";
    };
    if (plan.HangUp) text += "; hang-up at " + point(*plan.HangUp);
    if (plan.Stall) text += "; stall at " + point(*plan.Stall);
    if (plan.LineRate) text += "; line rate " + std::to_string(plan.LineRate) + " B/s";
    return text;
}

}  // namespace hp::sim
