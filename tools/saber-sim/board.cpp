#include "board.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <stdexcept>

#include "text_escape.h"

namespace hp::sim {
namespace {

// The banner goes out once the host has settled after its open: this long
// after its last purge (Wine, for one, purges output and input separately,
// and twice), or this long after the open of a host that does not purge.
// Either way it comes before the reply to the host's first command.
constexpr auto BannerAfterPurge = std::chrono::milliseconds(10);
constexpr auto BannerAfterOpen = std::chrono::milliseconds(20);

// Longest command line the board collects; longer lines are answered with an
// error at their line feed instead of growing without bound.
constexpr std::size_t MaxCommandLength = 4096;

// --chatter: how often the text goes out.
constexpr auto ChatterPeriod = std::chrono::milliseconds(250);

// A pseudo-terminal holds about 20 KiB that its writer has handed over and
// cannot count (it reports nothing queued): a board that stops taking bytes
// with less than that to come shows the host nothing, where a real port's
// driver would hold them and make the host's wait for the output run out.
// --chaos keeps its stalls out of that blind stretch, with room to spare.
constexpr std::int64_t StallVisible = 64 * 1024;

constexpr std::array<const char*, 7> SoundQueries = {"sON?", "sOFF?", "sHUM?", "sSW?", "sCL?", "sSMA?", "sSMB?"};

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

bool StartsWithNoCase(const std::string& text, const std::string& prefix) {
    if (text.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(text[i])) != std::tolower(static_cast<unsigned char>(prefix[i])))
            return false;
    return true;
}

// Decimal digits only, at most 18 of them so that the value fits in 64 bits.
std::optional<std::int64_t> ParseSize(const std::string& text) {
    if (text.empty() || text.size() > 18) return std::nullopt;
    std::int64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return value;
}

}  // namespace

TBoard::TBoard(const SimOptions& options, TFlash& flash, Reporter report)
    : FOptions(options), FFlash(flash), FReport(std::move(report)), FLineEnd(options.CrLf ? "\r\n" : "\n") {
    // A long made-up listing is made before the port is announced: made on
    // request, it would take a loaded machine longer than the host waits for
    // its first line.
    if (FOptions.ListLines)
        for (int n = 1; n <= *FOptions.ListLines; ++n) FMadeUpListing.push_back(MadeUpLine(n) + FLineEnd);
}

std::string TBoard::MadeUpLine(int n) {
    const std::string number = std::to_string(n);
    return "FILE" + std::string(number.size() < 5 ? 5 - number.size() : 0, '0') + number + ".WAV," +
           std::to_string(1000 + n);
}

void TBoard::OnOpen(Clock::time_point now) {
    ++FOpens;
    FLine.clear();
    FLineTooLong = false;
    FBannerPending = !FOptions.Banner.empty();
    FBannerDue = now + BannerAfterOpen;
    FChattering = FOptions.Chatter.has_value();
    FChatterDue = now + ChatterPeriod;
    FCommands = FReplies = 0;
    FChaos.reset();
    if (!FOptions.ChaosSeed) return;
    FChaos = PlanChaos(*FOptions.ChaosSeed, FOpens);
    if (FChaos->Kinds.empty()) return;
    FReport(1, "chaos: session " + std::to_string(FOpens) + ": " + Describe(*FChaos));
    if (FChaos->LineRate) Fired("slow", "reading at " + std::to_string(FChaos->LineRate) + " bytes a second");
}

std::int64_t TBoard::LineRate() const {
    return FChaos && FChaos->LineRate ? FChaos->LineRate : FOptions.LineRate;
}

void TBoard::Fired(const std::string& kind, const std::string& detail) {
    if (FChaos) FReport(0, "chaos: " + kind + " " + detail);
}

void TBoard::OnClose() {
    FChattering = false;
    FLine.clear();
    FLineTooLong = false;
    FBannerPending = false;
    FOutput.clear();
    FHeld.clear();
    FHeldDue.reset();
    FHangUpDue.reset();
    FStalled = false;
    FFrozen = false;
    FChaos.reset();
    if (FState == State::Receiving) {
        FFlash.AbortUpload();
        FReport(0, "upload of " + Escape(FUploadName) + " abandoned after " + std::to_string(FUploadReceived) +
                       " of " + std::to_string(FUploadSize) + " bytes: the port was closed");
        FState = State::Idle;
    } else if (FState == State::Busy) {
        // The endless erase ends with the session, so that the next test or
        // run meets a board that answers again.
        FState = State::Idle;
    }
    // A running erase goes on: the board does not notice the host leaving.
}

void TBoard::OnHostPurge(bool input, bool output, Clock::time_point now) {
    // A banner sent before the host's purges are over would be thrown away.
    if (FBannerPending && (input || output)) FBannerDue = now + BannerAfterPurge;
    // Bytes the host discarded may have cut a command short; its start must
    // not be glued to the next command. (Best effort: the kernel does not
    // always discard bytes that were already on their way.)
    if (output && FState == State::Idle && !FLine.empty()) {
        FReport(1, "partial command dropped: \"" + Escape(FLine) + "\"");
        FLine.clear();
        FLineTooLong = false;
    }
}

void TBoard::SendBanner() {
    FBannerPending = false;
    for (const auto& line : FOptions.Banner) Emit(line);
    FReport(1, "banner sent");
}

void TBoard::Emit(const std::string& text) {
    EmitRaw(text + FLineEnd);
}

void TBoard::EmitRaw(const std::string& bytes) {
    // A chattering device is no saber: it says nothing but its chatter.
    if (!FOptions.Silent && !FOptions.Chatter && !FFrozen) Out() += bytes;
}

void TBoard::EndReply(std::size_t mark, Clock::time_point now) {
    ++FReplies;
    if (!FChaos) return;
    const std::string which = "reply " + std::to_string(FReplies) + " of the session";
    // The reply's text is changed first, then held back as changed.
    for (const bool delays : {false, true}) {
        for (const auto& f : FChaos->Replies) {
            std::string& out = Out();
            const bool delay = f.What == TReplyFault::DelayBelow || f.What == TReplyFault::DelayBeyond;
            if (f.Reply != FReplies || delay != delays || out.size() <= mark) continue;
            const std::size_t length = out.size() - mark;
            switch (f.What) {
            case TReplyFault::Cut: {
                const auto keep = static_cast<std::size_t>(f.Keep * static_cast<double>(length - 1));
                out.resize(mark + keep);
                Fired("cut", which + " after " + std::to_string(keep) + " of " + std::to_string(length) + " bytes");
                break;
            }
            case TReplyFault::Garbage:
            case TReplyFault::CrOnly:
                out.replace(mark, std::string::npos, f.Text);
                Fired(f.What == TReplyFault::Garbage ? "garbage" : "cr-only", which + ": \"" + Escape(f.Text) + "\"");
                break;
            case TReplyFault::DelayBelow:
            case TReplyFault::DelayBeyond:
                if (!FHeldDue) {
                    FHeld = FOutput.substr(mark);
                    FOutput.resize(mark);
                }
                FHeldDue = std::max(FHeldDue.value_or(now), now + std::chrono::milliseconds(f.DelayMs));
                Fired(f.What == TReplyFault::DelayBelow ? "delay-below" : "delay-beyond",
                      which + " by " + std::to_string(f.DelayMs) + " ms (time-out " + std::to_string(f.AgainstMs) +
                          " ms)");
                break;
            }
        }
    }
}

std::optional<std::string> TBoard::ReplyFor(const std::string& key, const std::string& normal) const {
    if (FOptions.Silent) return std::nullopt;
    if (FOptions.LateFromOpen && FOpens >= FOptions.LateFromOpen) {
        const auto late = FOptions.LateReplies.find(key);
        if (late != FOptions.LateReplies.end()) return late->second;
    }
    const auto it = FOptions.Replies.find(key);
    return it != FOptions.Replies.end() ? it->second : normal;
}

void TBoard::Reply(const std::string& key, const std::string& normal) {
    const auto raw = FOptions.RawReplies.find(key);
    if (raw != FOptions.RawReplies.end() && !FOptions.Silent) {
        EmitRaw(raw->second);
        FReport(1, "raw reply \"" + Escape(raw->second) + "\"");
        return;
    }
    const auto text = ReplyFor(key, normal);
    if (text) Emit(*text);
    FReport(1, text ? "reply \"" + Escape(*text) + "\"" : std::string("no reply"));
}

void TBoard::OnBytes(const char* data, std::size_t size, Clock::time_point now) {
    if (FFrozen) {
        FReport(2, "ignored while frozen: " + std::to_string(size) + " bytes");
        return;
    }
    if (FBannerPending) SendBanner();
    std::size_t i = 0;
    while (i < size && !FHangUp) {
        switch (FState) {
        case State::Receiving:
            if (FStalled || FHangUpDue) {
                // Read before the limit was known; a stalled board has no use for them.
                FReport(0, "dropped " + std::to_string(size - i) + " bytes while stalled");
                return;
            }
            i += Receive(data + i, size - i, now);
            break;
        case State::Erasing:
        case State::Busy:
            FReport(2, "ignored while erasing: " + std::to_string(size - i) + " bytes");
            return;
        case State::Idle: {
            const char c = data[i++];
            if (c != '\n') {
                if (FLine.size() < MaxCommandLength) FLine += c;
                else FLineTooLong = true;
                break;
            }
            std::string line;
            line.swap(FLine);
            if (FLineTooLong) {
                FLineTooLong = false;
                FReport(1, "command longer than " + std::to_string(MaxCommandLength) + " bytes");
                Reply("", "ERROR, Command Too Long");
                break;
            }
            // Hosts that end their lines with CR LF are served as well.
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (!line.empty()) Command(line, now);
            break;
        }
        }
    }
}

void TBoard::Command(const std::string& line, Clock::time_point now) {
    FReport(1, "command \"" + Escape(line) + "\"");
    const std::string key = CommandKey(line);
    const auto& hangUps = FOptions.HangUpAfterCommand;
    ++FCommands;
    if (std::find(hangUps.begin(), hangUps.end(), key) != hangUps.end() ||
        (FChaos && FChaos->HangUpAtCommand == FCommands)) {
        Fired("hang-up-command", "at command " + std::to_string(FCommands) + " \"" + Escape(line) + "\"");
        FReport(0, "hanging up after the command \"" + Escape(line) + "\"");
        FHangUp = true;
        return;
    }
    const std::size_t mark = Out().size();
    Answer(line, now);
    EndReply(mark, now);
    // An empty file is complete as soon as it is accepted.
    if (FState == State::Receiving && FUploadSize == 0) DataComplete(now);
}

void TBoard::Answer(const std::string& line, Clock::time_point now) {
    const std::string key = CommandKey(line);

    if (line == "V?") {
        if (!FOptions.Replies.count(key) && FOptions.StreamJunk && !FOptions.Silent) {
            std::string junk;
            junk.reserve(static_cast<std::size_t>(*FOptions.StreamJunk));
            for (std::int64_t n = 0; n < *FOptions.StreamJunk; ++n) junk += "V=junk-"[n % 7];
            EmitRaw(junk);
            FReport(1, "reply: " + std::to_string(junk.size()) + " bytes without a line feed");
            return;
        }
        Reply(key, "V=" + FOptions.Version);
    } else if (line == "S?") {
        Reply(key, "S=" + FOptions.Serial);
    } else if (line == "WR?") {
        Reply(key, FOptions.NotReady ? "OK, Write Protected" : "OK, Write Ready");
    } else if (line == "FREE?") {
        if (FChaos && FChaos->Free) Fired("free-low", "FREE=" + std::to_string(*FChaos->Free));
        Reply(key, "FREE=" + std::to_string(FChaos && FChaos->Free ? *FChaos->Free : FFlash.Free()));
    } else if (line == "LIST?") {
        Listing();
    } else if (line == "ERASE=ALL") {
        Erase(now);
    } else if (std::find(SoundQueries.begin(), SoundQueries.end(), line) != SoundQueries.end()) {
        SoundList(line);
    } else if (key == "WR") {
        Write(line.substr(3));
    } else {
        Reply(key, "ERROR, Unknown Command: " + line);
    }
}

void TBoard::Listing() {
    const bool overridden = FOptions.Replies.count("LIST?") || FOptions.RawReplies.count("LIST?") ||
                            (FOptions.LateFromOpen && FOpens >= FOptions.LateFromOpen &&
                             FOptions.LateReplies.count("LIST?"));
    if (FOptions.Silent || overridden) {
        Reply("LIST?", "");
        return;
    }
    if (FOptions.ListLines) {
        for (int n = 1; n <= *FOptions.ListLines; ++n) {
            if (ListingHangsUp(n)) return;
            EmitRaw(FMadeUpListing[static_cast<std::size_t>(n - 1)]);
        }
        FReport(1, "listing of " + std::to_string(*FOptions.ListLines) + " made-up lines");
        return;
    }
    const auto entries = FFlash.List();
    int n = 0;
    for (const auto& e : entries) {
        if (ListingHangsUp(++n)) return;
        Emit(e.Name + "," + std::to_string(e.Size));
    }
    FReport(1, "listing of " + std::to_string(entries.size()) + " files");
}

bool TBoard::ListingHangsUp(int line) {
    if (!FOptions.HangUpAfterLines || line <= *FOptions.HangUpAfterLines) return false;
    FReport(0, "hanging up after " + std::to_string(*FOptions.HangUpAfterLines) + " lines of the listing");
    FHangUp = true;
    return true;
}

void TBoard::SoundList(const std::string& query) {
    // "sHUM?" lists the stored files whose names begin with "hum", and so on.
    const std::string stem = query.substr(1, query.size() - 2);
    std::string names;
    for (const auto& e : FFlash.List()) {
        if (!StartsWithNoCase(e.Name, stem)) continue;
        if (!names.empty()) names += ',';
        names += e.Name;
    }
    Reply(query, query.substr(0, query.size() - 1) + "=" + names);
}

void TBoard::Write(const std::string& body) {
    // The name may hold commas; the size is what follows the last one.
    const auto comma = body.rfind(',');
    std::string refusal;
    std::optional<std::int64_t> size;
    std::string name;
    if (comma != std::string::npos) {
        name = body.substr(0, comma);
        size = ParseSize(body.substr(comma + 1));
    }
    if (!size) refusal = "ERROR, Invalid Write Command";
    else if (!TFlash::ValidName(name)) refusal = "ERROR, Invalid File Name";
    else if (FOptions.RefuseWrite || (FChaos && FChaos->RefuseWrite)) {
        refusal = "ERROR, Write Refused";
        Fired("write-refused", "WR=" + Escape(body));
    }
    else if (*size > FFlash.Free()) refusal = "ERROR, Insufficient Space";

    if (refusal.empty()) {
        try {
            FFlash.BeginUpload(name);
        } catch (const std::runtime_error& e) {
            FReport(0, e.what());
            refusal = "ERROR, Flash Write Failed";
        }
    }
    const auto sent = ReplyFor("WR", refusal.empty() ? "OK, Write " + name : refusal);
    if (sent) Emit(*sent);
    FReport(1, sent ? "reply \"" + Escape(*sent) + "\"" : std::string("no reply"));

    // The host sends the data only after a reply that begins so; whatever
    // else it saw, the bytes that follow are commands again.
    if (!refusal.empty() || !sent || !StartsWith(*sent, "OK, Write ")) {
        FFlash.AbortUpload();
        if (!refusal.empty()) FReport(0, "write refused: " + refusal);
        return;
    }
    FUploadName = name;
    FUploadSize = *size;
    FUploadReceived = 0;
    FState = State::Receiving;
    FReport(0, "receiving " + Escape(name) + ", " + std::to_string(*size) + " bytes");
    FHangUpAt.reset();
    FStallAt.reset();
    if (FOptions.HangUpAfter && *FOptions.HangUpAfter < FUploadSize) FHangUpAt = FOptions.HangUpAfter;
    if (FOptions.StallAfter && *FOptions.StallAfter < FUploadSize) FStallAt = FOptions.StallAfter;
    if (FChaos && FChaos->HangUp) FHangUpAt = FChaos->HangUp->At(FUploadSize);
    if (FChaos && FChaos->Stall) {
        FStallAt = FChaos->Stall->At(FUploadSize);
        if (FUploadSize - *FStallAt < StallVisible) FStallAt = FUploadSize;
    }
}

std::size_t TBoard::Receive(const char* data, std::size_t size, Clock::time_point now) {
    std::int64_t take = std::min<std::int64_t>(static_cast<std::int64_t>(size), FUploadSize - FUploadReceived);
    // A limit at the upload's size is reached only once all of it is in.
    auto reaches = [&](const std::optional<std::int64_t>& at) {
        if (!at || *at >= FUploadSize || FUploadReceived + take < *at) return false;
        take = *at - FUploadReceived;
        return true;
    };
    const bool hangUp = reaches(FHangUpAt);
    FStalled = reaches(FStallAt);
    try {
        FFlash.Append(data, static_cast<std::size_t>(take));
    } catch (const std::runtime_error& e) {
        // Keep counting so that the host's bytes are still taken as data.
        FReport(0, e.what());
    }
    FUploadReceived += take;
    const std::string point = std::to_string(FUploadReceived) + " of " + std::to_string(FUploadSize) + " bytes";
    if (FStalled) {
        Fired("stall-data", "after " + point);
        FReport(0, "stalled after " + point + " of " + Escape(FUploadName) + ": taking nothing more");
    } else if (hangUp) {
        Fired(FChaos ? FChaos->DataKind : "", "after " + point);
        FReport(0, "hanging up after " + point + " of " + Escape(FUploadName));
        FFlash.AbortUpload();
        FState = State::Idle;
        FHangUp = true;
    } else if (FUploadReceived == FUploadSize) {
        DataComplete(now);
    }
    return static_cast<std::size_t>(take);
}

void TBoard::DataComplete(Clock::time_point now) {
    if (FHangUpAt == FUploadSize) {
        // Gone before the file is stored, while the host awaits the closing line.
        FHangUpDue = now + std::chrono::milliseconds(FChaos ? FChaos->HangUpDelayMs : 0);
        return;
    }
    if (FStallAt == FUploadSize) {
        Fired("stall-end", "after all " + std::to_string(FUploadSize) + " bytes: stored, then nothing more");
        FFrozen = true;
    }
    const std::size_t mark = Out().size();
    FinishUpload();
    EndReply(mark, now);
}

std::optional<std::int64_t> TBoard::TakeLimit() const {
    if (FFrozen) return 0;
    if (FState != State::Receiving || !FStallAt || *FStallAt >= FUploadSize) return std::nullopt;
    return std::max<std::int64_t>(0, *FStallAt - FUploadReceived);
}

void TBoard::FinishUpload() {
    FState = State::Idle;
    try {
        FFlash.CommitUpload();
    } catch (const std::runtime_error& e) {
        FReport(0, e.what());
        Emit("ERROR, Flash Write Failed");
        return;
    }
    ++FStoredUploads;
    FReport(0, "stored " + Escape(FUploadName) + ", " + std::to_string(FUploadSize) + " bytes");
    Emit("OK, Write Complete, " + std::to_string(FUploadSize) + " Bytes");
}

void TBoard::Erase(Clock::time_point now) {
    const auto sent = ReplyFor("ERASE", "OK, Erasing Serial Flash");
    if (sent) Emit(*sent);
    FReport(0, FOptions.EraseSilent ? "erase started, and it never ends" : "erase started");
    if (FOptions.EraseSilent) {
        FState = State::Busy;
        return;
    }
    FState = State::Erasing;
    FEraseStart = now;
    FEraseLength = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(FOptions.EraseSeconds));
    FDotsSent = 0;
    OnTimer(now);
}

void TBoard::FinishErase() {
    FFlash.EraseAll();
    FState = State::Idle;
    FLine.clear();
    Emit("Serial Flash Erased");
    Emit("OK, Erase Complete");
    FReport(0, "erase finished, the flash is empty");
}

Clock::time_point TBoard::EraseDue() const {
    // Dot k (1-based) is due at k/(dots+1) of the erase, the end at its length.
    return FDotsSent < FOptions.EraseDots ? FEraseStart + FEraseLength * (FDotsSent + 1) / (FOptions.EraseDots + 1)
                                          : FEraseStart + FEraseLength;
}

std::optional<Clock::time_point> TBoard::NextDeadline() const {
    std::optional<Clock::time_point> next;
    if (FBannerPending) next = FBannerDue;
    if (FState == State::Erasing && (!next || EraseDue() < *next)) next = EraseDue();
    if (FChattering && (!next || FChatterDue < *next)) next = FChatterDue;
    for (const auto& due : {FHeldDue, FHangUpDue})
        if (due && (!next || *due < *next)) next = due;
    return next;
}

void TBoard::OnTimer(Clock::time_point now) {
    if (FHeldDue && *FHeldDue <= now) {
        FOutput += FHeld;
        FHeld.clear();
        FHeldDue.reset();
    }
    if (FHangUpDue && *FHangUpDue <= now) {
        Fired("hang-up-end", "after all " + std::to_string(FUploadSize) + " bytes, before storing " + Escape(FUploadName));
        FReport(0, "hanging up before storing " + Escape(FUploadName));
        FHangUpDue.reset();
        FFlash.AbortUpload();
        FState = State::Idle;
        FHangUp = true;
        return;
    }
    while (FChattering && FChatterDue <= now) {
        FOutput += *FOptions.Chatter;
        FChatterDue += ChatterPeriod;
    }
    if (FBannerPending && now >= FBannerDue) SendBanner();
    while (FState == State::Erasing && EraseDue() <= now) {
        if (FDotsSent < FOptions.EraseDots) {
            ++FDotsSent;
            EmitRaw(".");
            if (FOptions.HangUpAfterDots && FDotsSent >= *FOptions.HangUpAfterDots) {
                FReport(0, "hanging up after " + std::to_string(FDotsSent) + " progress dots of the erase");
                FHangUp = true;
                return;
            }
        } else {
            FinishErase();
        }
    }
}

std::string TBoard::TakeOutput() {
    std::string out;
    out.swap(FOutput);
    return out;
}

}  // namespace hp::sim
