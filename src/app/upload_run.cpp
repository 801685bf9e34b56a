// A run of uploads: every file checked before the first byte goes out, then
// one upload after another to the one verified port.
#include "app/hiltpush.h"
#include "app/trace_option.h"
#include "app/upload_list.h"
#include "runtime/console.h"
#include "runtime/exceptions.h"
#include "runtime/files.h"
#include "runtime/trace.h"

namespace hp {

void THiltPush::SendFiles(const std::string& Port, const std::vector<std::string>& Names)
{
    // The trace file by what it is now: the trace may have made it since
    // the run began.
    const auto trace = TraceOption(*this);
    const TUploadList list =
        CheckUploadFiles(Names, ExeName(), trace && !trace->empty() ? rt::FileIdentity(*trace) : std::nullopt);
    if (!list.Problems.empty()) {
        // A font sent in part is worse than none: the user mends the list
        // and sends it whole.
        for (const std::string& problem : list.Problems) {
            rt::WriteLine();
            rt::WriteLine(problem);
        }
        SetExitCode(ExitFailure);
        return;
    }
    // The files as checked: a replay of the run makes stand-ins of them.
    if (rt::TraceOn())
        for (const TUploadFile& file : list.Files)
            rt::TraceRecord("upload file " + rt::TraceQuoted(file.Given) + " size " + std::to_string(file.Size));
    const std::size_t count = list.Files.size();
    if (count == 1) {
        SendFile(Port, list.Files.front());
        return;
    }

    TUploadTotal total{count, 0};
    for (const TUploadFile& file : list.Files)
        total.Size += file.Size;
    std::size_t completed = 0;
    for (const TUploadFile& file : list.Files) {
        rt::WriteLine("Upload " + std::to_string(completed + 1) + " of " + std::to_string(count) + ": " +
                      file.Given);
        try {
            if (!SendFile(Port, file, completed == 0 ? &total : nullptr))
                break;
        } catch (const EInOutError&) {
            // A file that broke while it was read ends the run like any file
            // that did not complete: its report, then how far the run got.
            rt::WriteLine(ExceptionReport(std::current_exception()));
            SetExitCode(ExitFailure);
            break;
        }
        ++completed;
    }
    rt::WriteLine("Uploaded " + std::to_string(completed) + " of " + std::to_string(count) + " files.");
}

} // namespace hp
