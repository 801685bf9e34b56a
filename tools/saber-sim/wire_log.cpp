#include "wire_log.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "text_escape.h"

namespace hp::sim {

TWireLog::TWireLog(const std::string& path) {
    if (path.empty()) return;
    FFile = std::fopen(path.c_str(), "we");
    if (!FFile) throw std::runtime_error("cannot create the log " + path + ": " + std::strerror(errno));
}

TWireLog::~TWireLog() {
    if (FFile) std::fclose(FFile);
}

void TWireLog::Stamp() {
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - FStart).count();
    std::fprintf(FFile, "%lld.%06lld ", static_cast<long long>(micros / 1000000),
                 static_cast<long long>(micros % 1000000));
}

void TWireLog::Bytes(const char* direction, const std::string& bytes) {
    if (!FFile || bytes.empty()) return;
    Stamp();
    std::fprintf(FFile, "%s %zu %s \"%s\"\n", direction, bytes.size(), Hex(bytes).c_str(), Escape(bytes).c_str());
    std::fflush(FFile);
}

void TWireLog::Event(const std::string& text) {
    if (!FFile) return;
    Stamp();
    // Event texts are the simulator's own words with the host's bytes already
    // escaped; only keep them on one line.
    std::string line = text;
    for (char& c : line)
        if (static_cast<unsigned char>(c) < 0x20) c = ' ';
    std::fprintf(FFile, "EV %s\n", line.c_str());
    std::fflush(FFile);
}

}  // namespace hp::sim
