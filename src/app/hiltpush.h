#pragma once
// The application: one object per process, one pass of work per run.
#include "app/application_base.h"
#include "app/saber/upload_file.h"

#include <cstdint>
#include <string>
#include <vector>

namespace hp {

// Exit statuses beyond success.
constexpr int ExitInsufficientSpace = 1;
constexpr int ExitFailure = 2;

// The seven sound-list queries, joined by line feeds, none after the last.
extern const std::string SoundListQuery;

// All the files of a run of several uploads together: the first upload
// compares the board's free space with them.
struct TUploadTotal {
    std::size_t Count = 0;
    std::int64_t Size = 0;
};

class THiltPush : public TApplicationBase {
public:
    THiltPush(std::string ExeName, std::vector<std::string> Params);
    ~THiltPush() override;

    virtual void WriteHelp();
    virtual void WriteVersion(bool All);
    virtual void WaitKey();

    // Discovery.
    std::vector<std::string> GetPorts();
    bool VerifyPort(const std::string& Port);

    // Actions on the chosen port.
    void DoErase(const std::string& Port);
    // True when the file completed: the write command was accepted and
    // every byte left. File: as the run's check found it, checked again
    // here at the same path. Total: the whole run, for its first file.
    bool SendFile(const std::string& Port, const TUploadFile& File, const TUploadTotal* Total = nullptr);
    // The files that Names stand for, checked first and then sent one by
    // one; the first that does not complete ends the run.
    void SendFiles(const std::string& Port, const std::vector<std::string>& Names);
    void SaberInfo(const std::string& Port);
    void ListFiles(const std::string& Port);
    void Transmit(const std::string& Port, const std::string& Cmd);

    void KeyFinish();

protected:
    void DoRun() override;

private:
    void RunMainPath();
    // True when no action option is given: the run uploads files.
    bool IsUploadRun() const;
    // Starts the trace that --trace asked for (File: empty for standard
    // error), never into one of Uploads.
    void StartRunTrace(const std::string& File, const std::vector<std::string>& Uploads);
    // Verifies the ports in order, with the console lines of the search, and
    // returns the first writable saber's port, or empty after the lines that
    // say none was found.
    std::string FindSaber(const std::vector<std::string>& FoundPorts);
    // Standard error names the serial ports that a scan left out (none of
    // Tried), and how to try one.
    void ReportOtherPorts(const std::vector<std::string>& Tried);
    // Parameters 1..ParamCount.
    std::vector<std::string> AllParams() const;
};

} // namespace hp
