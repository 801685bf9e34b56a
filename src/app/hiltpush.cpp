#include "app/hiltpush.h"

#include "app/port_option.h"
#include "app/saber/saber_channel.h"
#include "app/trace_option.h"
#include "app/upload_list.h"
#include "runtime/console.h"
#include "runtime/device_map.h"
#include "runtime/files.h"
#include "runtime/process.h"
#include "runtime/trace.h"
#include "runtime/version_info.h"

#include <algorithm>

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

bool THiltPush::IsUploadRun() const
{
    return !HasOption("erase-all") && !HasOption('i', "info") && !HasOption('l', "list") &&
           !HasOption('t', "trans") && !HasOption("slist");
}

void THiltPush::StartRunTrace(const std::string& File, const std::vector<std::string>& Uploads)
{
    // Appended to, a file the run uploads would change on the user's disk
    // and reach the board with the trace in it. The run is refused once its
    // files are checked; until then the trace goes where it harms nothing.
    // A file that is not there yet is none of the user's files.
    const auto id = File.empty() ? std::nullopt : rt::FileIdentity(File);
    const bool uploaded = id && NamesFile(Uploads, ExeName(), *id);
    rt::StartTrace(File, uploaded ? "it is one of the files to upload" : "");
    // The version, the platform and the parameters: all a replay of the run
    // needs besides the driver's answers.
    std::string first =
        "hiltpush " + rt::TVersionInfo().Value("FileVersion") + " on " + rt::PlatformName() + " with";
    for (const std::string& param : AllParams())
        first += " " + rt::TraceQuoted(param);
    rt::TraceRecord(first);
}

void THiltPush::RunMainPath()
{
    const std::vector<std::string> uploads = IsUploadRun() ? UploadParams(AllParams()) : std::vector<std::string>{};
    if (const auto trace = TraceOption(*this))
        StartRunTrace(*trace, uploads);
    WriteVersion(false);
    if (const auto mistyped = MistypedPortOption(AllParams())) {
        rt::WriteLine("ERROR, Unknown option " + *mistyped + ": name the port as -p PORT or --port=PORT.");
        SetExitCode(ExitFailure);
        return;
    }
    const bool portNamed = HasOption('p', "port");
    std::vector<std::string> FoundPorts;
    if (portNamed) {
        // The user said which port: the device map is not read, and no other
        // port is opened.
        const std::string port = GetOptionValue('p', "port");
        if (TrimPortName(port).empty()) {
            rt::WriteLine("ERROR, -p needs a port name.");
            SetExitCode(ExitFailure);
            return;
        }
        FoundPorts.push_back(port);
    } else {
        FoundPorts = GetPorts();
    }
    const std::string UsePort = FindSaber(FoundPorts);
    if (UsePort.empty()) {
        if (!portNamed)
            ReportOtherPorts(FoundPorts);
        SetExitCode(ExitFailure);
        return;
    }
    if (IsUploadRun())
        SendFiles(UsePort, uploads);
    else if (HasOption("erase-all"))
        DoErase(UsePort);
    else if (HasOption('i', "info"))
        SaberInfo(UsePort);
    else if (HasOption('l', "list"))
        ListFiles(UsePort);
    else if (HasOption('t', "trans"))
        Transmit(UsePort, GetOptionValue('t', "trans"));
    else if (HasOption("slist"))
        Transmit(UsePort, SoundListQuery);
}

std::string THiltPush::FindSaber(const std::vector<std::string>& FoundPorts)
{
    if (FoundPorts.empty()) {
        rt::WriteLine("No Saber Ports Found.");
        return {};
    }
    if (FoundPorts.size() == 1) {
        rt::WriteLine("Found 1 Saber Port: " + FoundPorts[0]);
        rt::WriteLine("Verifying Port is a saber.");
    } else {
        rt::WriteLine("Found " + std::to_string(FoundPorts.size()) + " Saber Ports.");
        rt::WriteLine("Scanning Ports to find an Ilvara Saber.");
    }
    rt::WriteLine();
    for (const std::string& name : FoundPorts) {
        rt::WriteLine("Testing Port: " + name);
        if (VerifyPort(name)) {
            rt::WriteLine("Port " + name + " is a writable Ilvara Saber.");
            return name;
        }
        rt::WriteLine("Port " + name + " not a writable Ilvara Saber");
    }
    rt::WriteLine("No Writable Ilvara Sabers Found.");
    rt::WriteLine("Connect an Ilvara Saber with Updated Firmware.");
    return {};
}

void THiltPush::ReportOtherPorts(const std::vector<std::string>& Tried)
{
    // A board behind a USB serial bridge, or on another driver, is never
    // among the probe names: say where it might be, on standard error so that
    // standard output stays what scripts expect.
    std::string list;
    for (const auto& other : rt::TDeviceMap().OtherPorts()) {
        if (std::find(Tried.begin(), Tried.end(), other.Port) != Tried.end())
            continue;
        list += (list.empty() ? "" : ", ") + other.Port;
        if (!other.Alias.empty())
            list += " (" + other.Alias + ")";
    }
    if (list.empty())
        return;
    rt::WriteErrorLine("hiltpush: also here, not tried: " + list);
    rt::WriteErrorLine("hiltpush: to try one, run hiltpush -p PORT ...");
}

} // namespace hp
