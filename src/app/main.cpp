#include "app/hiltpush.h"

#include "runtime/console.h"
#include "runtime/process.h"
#include "runtime/trace.h"

#include <memory>

int main(int argc, char** argv)
{
    int exitCode = 0;
    const hp::rt::TConsoleSession console;
    {
        auto application = std::make_unique<hp::THiltPush>(hp::rt::ExeName(), hp::rt::ProcessParams(argc, argv));
        application->SetTitle("hiltpush");
        application->Run();
        exitCode = application->ExitCode();
    }
    hp::rt::TraceLine("exit status " + std::to_string(exitCode));
    return exitCode;
}
