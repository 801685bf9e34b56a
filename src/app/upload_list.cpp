#include "app/upload_list.h"

#include "app/port_option.h"
#include "app/saber/flash_name.h"
#include "app/trace_option.h"
#include "runtime/board_text.h"
#include "runtime/exceptions.h"
#include "runtime/files.h"

#include <algorithm>
#include <set>
#include <utility>

namespace hp {

namespace {

bool IsOptionLike(const std::string& P)
{
    return !P.empty() && P.front() == '-';
}

// The short forms of the port option take the next parameter as their value,
// as the option grammar reads them.
bool TakesNextAsPortName(const std::string& P)
{
    return P == "-p" || P == "-port";
}

// The file a parameter names: as given, or else the file of that name
// dropped next to the program, which is found without a path too.
std::string FoundAt(const std::string& FName, const std::string& ExePath)
{
    return rt::FileExists(FName) ? FName : DirectoryPart(ExePath) + FName;
}

bool IsFile(const std::string& Path, const std::optional<rt::TFileIdentity>& Id)
{
    return Id && rt::FileIdentity(Path) == Id;
}

// The parameter Name, not a folder, names the file Id.
bool ParamIsFile(const std::string& Name, const std::string& ExePath, const std::optional<rt::TFileIdentity>& Id)
{
    return Id && !rt::FolderExists(Name) && IsFile(FoundAt(Name, ExePath), Id);
}

} // namespace

std::vector<std::string> UploadParams(const std::vector<std::string>& Params)
{
    std::vector<std::string> files;
    const std::string* last = nullptr;
    for (std::size_t i = 0; i < Params.size(); ++i) {
        const std::string& p = Params[i];
        // A port name is never a file, whatever it looks like.
        if (i > 0 && TakesNextAsPortName(Params[i - 1]) && !IsOptionLike(p))
            continue;
        if (!IsOptionLike(p))
            files.push_back(p);
        // A shortcut that carries the port or the trace, opened without
        // files, has no file to report as missing.
        else if (!IsPortOptionForm(p) && !IsTraceOptionForm(p))
            last = &p;
    }
    if (files.empty() && last)
        files.push_back(*last);
    return files;
}

TUploadFile ResolveUploadFile(const std::string& FName, const std::string& ExePath)
{
    // When it is not next to the program either, the check says the file
    // was not found.
    TUploadFile file{FName, FoundAt(FName, ExePath), {}, {}, 0, {}, {}};
    CheckUploadFile(file);
    return file;
}

bool NamesFile(const std::vector<std::string>& Names, const std::string& ExePath, const rt::TFileIdentity& Id)
{
    return std::any_of(Names.begin(), Names.end(),
                       [&](const std::string& Name) { return ParamIsFile(Name, ExePath, Id); });
}

TUploadList CheckUploadFiles(const std::vector<std::string>& Names, const std::string& ExePath,
                             const std::optional<rt::TFileIdentity>& TraceFile)
{
    TUploadList list;
    if (Names.empty())
        list.Problems.push_back("ERROR, No file to upload: drop files or a folder onto hiltpush, or name them "
                                "after the options.");
    std::set<std::string> boardNames;
    std::set<std::string> reportedTwice;
    const auto check = [&](TUploadFile file) {
        if (!file.Problem.empty()) {
            list.Problems.push_back(file.Problem);
            return;
        }
        // Two files of one name would leave the board with whichever went
        // last, whatever the user meant.
        if (!boardNames.insert(file.BoardName).second) {
            if (reportedTwice.insert(file.BoardName).second)
                list.Problems.push_back("ERROR, Serial Flash Name used twice: " + file.FlashName);
            return;
        }
        list.Files.push_back(std::move(file));
    };
    for (const std::string& name : Names) {
        if (!rt::FolderExists(name)) {
            // Sent, the trace file would go to the board with the trace of
            // this very run in it, changed on disk as well.
            if (ParamIsFile(name, ExePath, TraceFile))
                list.Problems.push_back("ERROR, " + name + " is the trace file; it cannot also be uploaded.");
            else
                check(ResolveUploadFile(name, ExePath));
            continue;
        }
        std::vector<std::string> names;
        try {
            names = rt::FilesIn(name);
        } catch (const EInOutError& E) {
            list.Problems.push_back("Folder " + name + " cannot be read: " + E.Message());
            continue;
        }
        // In the order of the bytes the board gets (std::string compares
        // unsigned bytes); a name without them is refused anyway.
        std::vector<std::pair<std::string, std::string>> entries; // board bytes, name
        for (std::string& entry : names)
            if (!entry.empty() && entry.front() != '.' && !IsFile(rt::ListedPath(name, entry), TraceFile))
                entries.emplace_back(rt::ToBoardName(entry).value_or(entry), std::move(entry));
        std::sort(entries.begin(), entries.end());
        if (entries.empty())
            list.Problems.push_back("No files to upload in " + name + ".");
        for (const auto& entry : entries) {
            // Found by the listing, so neither looked for next to the
            // program nor resolved again as a path.
            const std::string joined = rt::JoinPath(name, entry.second);
            TUploadFile file{joined, joined, {}, {}, 0, {}, rt::ListedPath(name, entry.second)};
            CheckUploadFile(file);
            check(std::move(file));
        }
    }
    return list;
}

} // namespace hp
