// The --log file: every byte that crossed the line, and what the board made
// of it, one line per read, write or event:
//
//   <seconds> RX <count> <hex> "<text>"    bytes taken in from the host
//   <seconds> TX <count> <hex> "<text>"    bytes sent to the host
//   <seconds> EV <words...>                 an event (open, close, purge, ...)
//
// <seconds> counts from the simulator's start on a monotonic clock, with six
// decimals. <hex> is the bytes in lower-case hex, two digits each, with no
// separator; <text> repeats them with C escapes, for people. Each line is
// flushed as it is written, so a reader can follow the file live.
#pragma once

#include <cstdio>
#include <string>

#include "board.h"

namespace hp::sim {

class TWireLog {
public:
    // An empty path: logging is off. Throws std::runtime_error when the file
    // cannot be created.
    explicit TWireLog(const std::string& path);
    ~TWireLog();
    TWireLog(const TWireLog&) = delete;
    TWireLog& operator=(const TWireLog&) = delete;

    void Received(const std::string& bytes) { Bytes("RX", bytes); }
    void Sent(const std::string& bytes) { Bytes("TX", bytes); }
    void Event(const std::string& text);

private:
    void Bytes(const char* direction, const std::string& bytes);
    void Stamp();

    std::FILE* FFile = nullptr;
    Clock::time_point FStart = Clock::now();
};

}  // namespace hp::sim
