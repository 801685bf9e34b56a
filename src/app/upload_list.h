#pragma once
// Which files an upload run sends: the parameters that name files, folders
// standing for the files inside them, and every file checked before the
// first byte goes to the board.
#include "app/saber/upload_file.h"
#include "runtime/files.h"

#include <optional>
#include <string>
#include <vector>

namespace hp {

// The parameters that name files: every one that does not begin with '-'
// and is not the port option's value, in command-line order. When there is
// none, the last parameter that is not one of the port or trace options
// (so a lone "-x" is reported as a file that is not there); none at all when
// those options are all there is.
std::vector<std::string> UploadParams(const std::vector<std::string>& Params);

// Finds the file FName names, as given or else next to the program
// (ExePath), and checks it (CheckUploadFile).
TUploadFile ResolveUploadFile(const std::string& FName, const std::string& ExePath);

// True when one of Names, as ResolveUploadFile finds it, is the file Id. A
// folder's files are not looked at: its listing leaves that file out.
bool NamesFile(const std::vector<std::string>& Names, const std::string& ExePath, const rt::TFileIdentity& Id);

struct TUploadList {
    std::vector<TUploadFile> Files;     // in the order they go, each one sendable
    std::vector<std::string> Problems;  // one line per problem, in the order found
};

// The files that Names stand for, checked: a folder stands for the files
// directly inside it in byte order of their names, names beginning with '.'
// and the trace file (TraceFile) left out. Every problem is listed (no file
// given, a file not found or unreadable, the trace file named as a file, a
// flash name that is unsafe or used twice, a folder without files); a list
// with problems must not be sent at all.
TUploadList CheckUploadFiles(const std::vector<std::string>& Names, const std::string& ExePath,
                             const std::optional<rt::TFileIdentity>& TraceFile = std::nullopt);

} // namespace hp
