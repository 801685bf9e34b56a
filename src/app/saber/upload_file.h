#pragma once
// A file on its way to the board: what the upload needs to send it, as the
// run's check found it, and that check, done again just before its turn.
#include <cstdint>
#include <string>

namespace hp {

// One file given for upload, or the reason it cannot be sent.
struct TUploadFile {
    std::string Given;      // as the user gave it; a folder's file: the folder joined with its name
    std::string FullName;   // the file that is sent: Given, or the file of that name next to the program
    std::string FlashName;  // the name it is stored under on the board
    std::string BoardName;  // the same name as the bytes the board gets
    std::int64_t Size = 0;  // as the check found it
    std::string Problem;    // the line that says why it cannot be sent (empty when it can)
    std::string Listed;     // a folder's file: the path of the entry the listing named (rt::ListedPath)

    // Where the file is found and read: a folder's file exactly as listed,
    // any other as the user's path resolves.
    const std::string& Source() const { return Listed.empty() ? FullName : Listed; }
};

// Checks a file that was found, at the path it was found at (no second
// lookup): it is still there, it can be read, and its flash name can travel
// in the write command. Sets Problem (cleared when all is well), FlashName,
// BoardName and Size.
void CheckUploadFile(TUploadFile& File);

} // namespace hp
