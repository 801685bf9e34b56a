#include "app/hiltpush.h"

#include "app/upload_list.h"
#include "runtime/console.h"

namespace hp {

const std::string SoundListQuery = "sON?\nsOFF?\nsHUM?\nsSW?\nsCL?\nsSMA?\nsSMB?";

THiltPush::THiltPush(std::string ExeName, std::vector<std::string> Params)
    : TApplicationBase(std::move(ExeName), std::move(Params))
{
    StopOnException = true;
    // A run cut short by an unexpected error is a failure, not a success.
    ExceptionExitCode = ExitFailure;
}

THiltPush::~THiltPush() = default;

void THiltPush::DoRun()
{
    if (ParamCount() == 0 || HasOption('h', "help")) {
        WriteHelp();
        if (!HasOption('s', "silent")) {
            rt::WriteLine();
            rt::WriteLine("==PRESS ANY KEY TO FINISH==");
            WaitKey();
        }
        Terminate();
        return;
    }
    if (HasOption('v', "version")) {
        WriteVersion(true);
        KeyFinish();
        Terminate();
        return;
    }
    RunMainPath();
    KeyFinish();
    Terminate();
}

std::vector<std::string> THiltPush::AllParams() const
{
    std::vector<std::string> params;
    for (int i = 1; i <= ParamCount(); ++i)
        params.push_back(ParamStr(i));
    return params;
}

void THiltPush::RunMainPath()
{
    WriteVersion(false);
    std::string UsePort;
    {
        const std::vector<std::string> FoundPorts = GetPorts();
        if (FoundPorts.empty()) {
            rt::WriteLine("No Saber Ports Found.");
            SetExitCode(ExitFailure);
            return;
        }
        if (FoundPorts.size() == 1) {
            rt::WriteLine("Found 1 Saber Port: " + FoundPorts[0]);
            rt::WriteLine("Verifying Port is a saber.");
        } else {
            rt::WriteLine("Found " + std::to_string(FoundPorts.size()) + " Saber Ports.");
            rt::WriteLine("Scanning Ports to find an Ilvara Saber.");
        }
        rt::WriteLine();
        for (std::size_t I = 0; UsePort.empty() && I < FoundPorts.size(); ++I) {
            const std::string& name = FoundPorts[I];
            rt::WriteLine("Testing Port: " + name);
            if (VerifyPort(name)) {
                UsePort = name;
                rt::WriteLine("Port " + name + " is a writable Ilvara Saber.");
            } else {
                rt::WriteLine("Port " + name + " not a writable Ilvara Saber");
            }
        }
    }
    if (UsePort.empty()) {
        rt::WriteLine("No Writable Ilvara Sabers Found.");
        rt::WriteLine("Connect an Ilvara Saber with Updated Firmware.");
        SetExitCode(ExitFailure);
        return;
    }
    if (HasOption("erase-all"))
        DoErase(UsePort);
    else if (HasOption('i', "info"))
        SaberInfo(UsePort);
    else if (HasOption('l', "list"))
        ListFiles(UsePort);
    else if (HasOption('t', "trans"))
        Transmit(UsePort, GetOptionValue('t', "trans"));
    else if (HasOption("slist"))
        Transmit(UsePort, SoundListQuery);
    else
        SendFiles(UsePort, UploadParams(AllParams()));
}

} // namespace hp
