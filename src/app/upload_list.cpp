#include "app/upload_list.h"

#include "app/saber/flash_name.h"
#include "runtime/files.h"

#include <algorithm>
#include <iterator>
#include <set>

namespace hp {

std::vector<std::string> UploadParams(const std::vector<std::string>& Params)
{
    std::vector<std::string> files;
    std::copy_if(Params.begin(), Params.end(), std::back_inserter(files),
                 [](const std::string& P) { return P.empty() || P.front() != '-'; });
    if (files.empty() && !Params.empty())
        files.push_back(Params.back());
    return files;
}

TUploadFile ResolveUploadFile(const std::string& FName, const std::string& ExePath)
{
    TUploadFile file{FName, {}, {}};
    if (rt::FileExists(FName)) {
        file.FullName = FName;
    } else {
        // A file dropped next to the program is found without a path too.
        const std::string besideExe = DirectoryPart(ExePath) + FName;
        if (!rt::FileExists(besideExe)) {
            file.Problem = "File " + FName + " not found.";
            return file;
        }
        file.FullName = besideExe;
    }
    const std::string flashName = FlashNameOf(file.FullName);
    if (!IsSafeFlashName(flashName)) {
        file.Problem = "ERROR, Invalid Serial Flash Name: " + flashName;
        file.FullName.clear();
    }
    return file;
}

TUploadList CheckUploadFiles(const std::vector<std::string>& Names, const std::string& ExePath)
{
    TUploadList list;
    std::set<std::string> flashNames;
    std::set<std::string> reportedTwice;
    const auto check = [&](const std::string& Given) {
        TUploadFile file = ResolveUploadFile(Given, ExePath);
        if (!file.Problem.empty()) {
            list.Problems.push_back(file.Problem);
            return;
        }
        // Two files of one name would leave the board with whichever went
        // last, whatever the user meant.
        const std::string flashName = FlashNameOf(file.FullName);
        if (!flashNames.insert(flashName).second) {
            if (reportedTwice.insert(flashName).second)
                list.Problems.push_back("ERROR, Serial Flash Name used twice: " + flashName);
            return;
        }
        list.Files.push_back(std::move(file));
    };
    for (const std::string& name : Names) {
        if (!rt::FolderExists(name)) {
            check(name);
            continue;
        }
        std::vector<std::string> entries = rt::RegularFilesIn(name);
        std::erase_if(entries, [](const std::string& E) { return E.empty() || E.front() == '.'; });
        // std::string orders by unsigned bytes.
        std::sort(entries.begin(), entries.end());
        if (entries.empty())
            list.Problems.push_back("No files to upload in " + name + ".");
        for (const std::string& entry : entries)
            check(rt::JoinPath(name, entry));
    }
    return list;
}

} // namespace hp
