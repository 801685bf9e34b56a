#pragma once
// The progress line of an upload, rewritten in place while the bytes go out.
#include <cstdint>
#include <string>

namespace hp {

// The text due after a byte went out, with Remaining of FileSize bytes still
// to send and ElapsedMs since the transfer began: the remaining count when it
// is 1 more than a multiple of 512, with a time estimate when it is 1 more
// than a multiple of 4096; ended by a carriage return so that the next text
// starts again at the left. Empty when nothing is due.
std::string UploadProgressText(std::int64_t Remaining, std::int64_t FileSize, std::int64_t ElapsedMs);

// True when UploadProgressText has something to say for Remaining: the caller
// can skip reading the clock otherwise.
inline bool UploadProgressDue(std::int64_t Remaining) { return (Remaining & 511) == 1; }

// The time left at the pace so far, as H:MM:SS (whole seconds, truncated).
// Sent must be at least 1.
std::string TimeEstimateText(std::int64_t Remaining, std::int64_t Sent, std::int64_t ElapsedMs);

} // namespace hp
