#pragma once
// A file that text is added to at its end: created when missing, never cut.
// Closed by the destructor.
#include <cstdint>
#include <string>
#include <string_view>

namespace hp::rt {

class TAppendFile {
public:
    TAppendFile() = default;
    ~TAppendFile();
    TAppendFile(const TAppendFile&) = delete;
    TAppendFile& operator=(const TAppendFile&) = delete;

    // Opens Path (closing what was open); false with the platform's reason.
    bool Open(const std::string& Path, std::string& Reason);
    bool IsOpen() const { return FHandle != -1; }
    // Adds Text at the end of the file; false with the platform's reason
    // when not all of it could be written (a full disk, a drive removed).
    bool Write(std::string_view Text, std::string& Reason);
    void Close();

private:
    std::intptr_t FHandle = -1;
};

} // namespace hp::rt
