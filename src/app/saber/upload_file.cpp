#include "app/saber/upload_file.h"

#include "app/saber/flash_name.h"
#include "runtime/board_text.h"
#include "runtime/exceptions.h"
#include "runtime/files.h"

namespace hp {

void CheckUploadFile(TUploadFile& File)
{
    File.Problem.clear();
    if (!rt::FileExists(File.Source())) {
        File.Problem = "File " + File.Given + " not found.";
        return;
    }
    try {
        // Found is not readable: a file without permission, or a link whose
        // target is gone, fails here and not halfway through a run.
        rt::TByteFile probe(File.Source());
        File.Size = probe.Size();
    } catch (const EInOutError& E) {
        File.Problem = "File " + File.Given + " cannot be read: " + E.Message();
        return;
    }
    File.FlashName = FlashNameOf(File.FullName);
    // A name the board's code page cannot hold would be stored under some
    // other name; a control byte would end the write command early.
    const auto boardName = rt::ToBoardName(File.FlashName);
    if (!boardName || !IsSafeFlashName(*boardName)) {
        File.Problem = "ERROR, Invalid Serial Flash Name: " + File.FlashName;
        return;
    }
    File.BoardName = *boardName;
}

} // namespace hp
