#include "app/hiltpush.h"

#include "runtime/console.h"
#include "runtime/keys.h"
#include "runtime/version_info.h"

namespace hp {

namespace {

// The last component of a path: everything after the last '\', '/' or ':'.
std::string FileNamePart(const std::string& Path)
{
    const std::size_t cut = Path.find_last_of("\\/:");
    return cut == std::string::npos ? Path : Path.substr(cut + 1);
}

} // namespace

void THiltPush::WriteVersion(bool All)
{
    const rt::TVersionInfo info;
    rt::WriteLine();
    rt::WriteLine(info.Value("ProductName"));
    rt::WriteLine("----------------");
    if (All) {
        rt::WriteLine("Version: " + info.Value("FileVersion"));
        rt::WriteLine("Company: " + info.Value("CompanyName"));
        rt::WriteLine("Description: " + info.Value("FileDescription"));
        rt::WriteLine("Internal name: " + info.Value("InternalName"));
        rt::WriteLine("Original filename: " + info.Value("OriginalFilename"));
    }
}

void THiltPush::WriteHelp()
{
    {
        const rt::TVersionInfo info;
        rt::WriteLine();
        rt::WriteLine(info.Value("ProductName"));
        rt::WriteLine("----------------");
        rt::WriteLine("Version: " + info.Value("FileVersion"));
    }
    rt::WriteLine();
    if (ParamCount() == 0) {
        rt::WriteLine("No Parameters, minimum filename required.");
        rt::WriteLine();
    }
    rt::WriteLine("Usage: " + FileNamePart(ExeName()) + " [-h -v -i -l -s -t --trans=string -erase-all] <filename.ext>");
    rt::WriteLine("  -h   --help             -- show this help");
    rt::WriteLine("  -v   --version          -- display version no.");
    rt::WriteLine("  -i   --info             -- read saber firmware version and serial no.");
    rt::WriteLine("  -l   --list             -- list all files on saber");
    rt::WriteLine("  --slist                 -- list the arrays of sound filenames");
    rt::WriteLine("  -s   --silent           -- do not wait for a key at the end");
    rt::WriteLine("  -t string-to-send       -- send/transmit string to the saber & show responses");
    rt::WriteLine("  --trans=string-to-send  -- send/transmit string to the saber & show responses");
    rt::WriteLine("  -erase-all              -- erase the serial flash");
    rt::WriteLine("  -p port  --port=port    -- use this port instead of searching for the saber");
    rt::WriteLine("  --trace[=file]          -- show (or save) what was said to the saber and its answers");
    rt::WriteLine("  <filename.ext>          -- send the named file to serial flash storage");
    rt::WriteLine("  <folder>                -- send every file of the folder; several files and folders may be given");
}

void THiltPush::KeyFinish()
{
    if (HasOption('s', "silent"))
        return;
    rt::WriteLine();
    rt::WriteLine("==END==");
    rt::WriteLine("==PRESS ANY KEY TO FINISH==");
    WaitKey();
}

void THiltPush::WaitKey()
{
    rt::TKeyInput keys;
    if (!keys.IsConsole())
        return;
    // Keys typed while the program worked must not end the wait.
    while (keys.KeyPressed()) {
        if (keys.ReadKey() == 0)
            keys.ReadKey();
    }
    keys.WaitForKey();
    keys.ConsumeEndingKey();
}

} // namespace hp
