// trace-replay: plays a run of hiltpush on Windows again from its trace
// (--trace): the program's own actions, with the trace's parameters, over a
// comm driver that answers each call from the trace, on a virtual clock,
// with stand-in files of the names and sizes the trace announced.
//
//   trace-replay TRACE [--run N]
//
// Standard output: the replayed run's. Standard error: its exit status, or
// the first call of the program that the trace does not answer, with what
// the trace holds there. Exit status: the replayed run's; 3 when the run
// took another road; 4 when the trace cannot be played.
#include "app/hiltpush.h"
#include "replay_seams.h"
#include "runtime/console.h"
#include "trace_reader.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>

namespace fs = std::filesystem;

namespace {

constexpr int UnplayableStatus = 4;

fs::path GWorkDir;

void RemoveWorkDir()
{
    std::error_code ignored;
    if (!GWorkDir.empty()) {
        fs::current_path(GWorkDir.parent_path(), ignored);
        fs::remove_all(GWorkDir, ignored);
    }
}

// A name of the run as a path inside the stand-ins' folder: never above it
// or elsewhere, whatever the trace says. Windows names keep their folders on
// every platform; a drive or a root becomes a folder of its own.
std::string LocalName(const std::string& Name)
{
    std::string local;
    for (const char c : Name)
        local += c == '\\' ? '/' : c == ':' ? '_' : c;
    const std::size_t start = local.find_first_not_of('/');
    local = start == std::string::npos ? std::string() : local.substr(start);
    for (const auto& part : fs::path(local))
        if (part == "..")
            throw hp::replay::ETraceError("a name that reaches out of its folder: " + Name);
    return local;
}

fs::path PathOf(const std::string& Utf8)
{
    return fs::path(std::u8string(Utf8.begin(), Utf8.end()));
}

void MakeStandIns(const hp::replay::TTraceRun& Run)
{
    for (const auto& [name, size] : Run.Files) {
        const fs::path path = PathOf(LocalName(name));
        if (path.has_parent_path())
            fs::create_directories(path.parent_path());
        std::ofstream out(path, std::ios::binary);
        const std::string block(4096, 'x');
        for (std::int64_t left = size; left > 0; left -= static_cast<std::int64_t>(block.size()))
            out.write(block.data(), static_cast<std::streamsize>(std::min<std::int64_t>(left, 4096)));
        if (!out)
            throw hp::replay::ETraceError("the stand-in for " + name + " cannot be made");
    }
}

} // namespace

int main(int argc, char** argv)
{
    std::string tracePath;
    int index = 1;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--run" && i + 1 < argc)
            index = std::atoi(argv[++i]);
        else if (tracePath.empty())
            tracePath = arg;
    }
    if (tracePath.empty() || index < 1) {
        std::cerr << "usage: trace-replay TRACE [--run N]\n";
        return UnplayableStatus;
    }
    hp::replay::TTraceRun run;
    std::vector<std::string> params;
    try {
        std::ifstream in(tracePath, std::ios::binary);
        if (!in)
            throw hp::replay::ETraceError("cannot be read");
        run = hp::replay::ReadTrace(in, index);
        if (run.Platform != "windows")
            throw hp::replay::ETraceError("a run on " + run.Platform +
                                          "; only a run on Windows holds the driver's answers");
        std::random_device random;
        GWorkDir = fs::temp_directory_path() / ("trace-replay-" + std::to_string(random()));
        fs::create_directories(GWorkDir);
        std::atexit(RemoveWorkDir);
        fs::current_path(GWorkDir);
        MakeStandIns(run);
        for (const std::string& p : run.Params)
            params.push_back(!p.empty() && p.front() != '-' ? LocalName(p) : p);
    } catch (const std::exception& E) {
        std::cerr << "trace-replay: " << tracePath << ": " << E.what() << "\n";
        return UnplayableStatus;
    }

    hp::replay::TReplay replay(run);
    hp::replay::PlayFrom(replay, run);
    int status = 0;
    {
        const hp::rt::TConsoleSession console;
        hp::THiltPush application((GWorkDir / "hiltpush.exe").string(), params);
        application.SetTitle("hiltpush");
        application.Run();
        status = application.ExitCode();
    }
    replay.Finish();
    std::cerr << "trace-replay: exit status " << status;
    if (run.ExitStatus && *run.ExitStatus != status)
        std::cerr << " (the trace: " << *run.ExitStatus << ")";
    std::cerr << std::endl;
    return status;
}
