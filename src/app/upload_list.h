#pragma once
// Which files an upload run sends: the parameters that name files, folders
// standing for the files inside them, and every file checked before the
// first byte goes to the board.
#include <cstdint>
#include <string>
#include <vector>

namespace hp {

// The parameters that name files: every one that does not begin with '-'
// and is not the port option's value, in command-line order. When there is
// none, the last such parameter, whatever it is (so a lone "-x" is reported
// as a file that is not there).
std::vector<std::string> UploadParams(const std::vector<std::string>& Params);

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

// Finds the file FName names, as given or else next to the program
// (ExePath), and checks it (CheckUploadFile).
TUploadFile ResolveUploadFile(const std::string& FName, const std::string& ExePath);

// Checks a file that was found, at the path it was found at (no second
// lookup): it is still there, it can be read, and its flash name can travel
// in the write command. Sets Problem (cleared when all is well), FlashName,
// BoardName and Size.
void CheckUploadFile(TUploadFile& File);

struct TUploadList {
    std::vector<TUploadFile> Files;     // in the order they go, each one sendable
    std::vector<std::string> Problems;  // one line per problem, in the order found
};

// The files that Names stand for, checked: a folder stands for the files
// directly inside it in byte order of their names, names beginning with '.'
// left out. Every problem is listed (a file not found or unreadable, a flash
// name that is unsafe or used twice, a folder without files); a list with
// problems must not be sent at all.
TUploadList CheckUploadFiles(const std::vector<std::string>& Names, const std::string& ExePath);

} // namespace hp
