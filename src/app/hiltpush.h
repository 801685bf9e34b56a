#pragma once
// The application: one object per process, one pass of work per run.
#include "app/application_base.h"

#include <string>
#include <vector>

namespace hp {

// Exit statuses beyond success.
constexpr int ExitInsufficientSpace = 1;
constexpr int ExitFailure = 2;

// The seven sound-list queries, joined by line feeds, none after the last.
extern const std::string SoundListQuery;

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
    void SendFile(const std::string& Port, const std::string& FName);
    void SaberInfo(const std::string& Port);
    void ListFiles(const std::string& Port);
    void Transmit(const std::string& Port, const std::string& Cmd);

    void KeyFinish();

protected:
    void DoRun() override;

private:
    void RunMainPath();
};

} // namespace hp
