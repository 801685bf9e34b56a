#include "app/saber/upload_progress.h"

#include <cstdio>

namespace hp {

namespace {
std::string TwoDigits(std::int64_t Value)
{
    char text[24];
    std::snprintf(text, sizeof text, "%02lld", static_cast<long long>(Value));
    return text;
}
} // namespace

std::string TimeEstimateText(std::int64_t Remaining, std::int64_t Sent, std::int64_t ElapsedMs)
{
    std::int64_t seconds = Remaining * ElapsedMs / (Sent * 1000);
    std::string text = std::to_string(seconds / 3600) + ":";
    seconds %= 3600;
    text += TwoDigits(seconds / 60) + ":";
    text += TwoDigits(seconds % 60);
    return text;
}

std::string UploadProgressText(std::int64_t Remaining, std::int64_t FileSize, std::int64_t ElapsedMs)
{
    if (!UploadProgressDue(Remaining))
        return {};
    std::string text = "Remaining, Bytes: " + std::to_string(Remaining) + ", ";
    if ((Remaining & 4095) == 1)
        text += "Time " + TimeEstimateText(Remaining, FileSize - Remaining, ElapsedMs) + "  ";
    text += '\r';
    return text;
}

} // namespace hp
