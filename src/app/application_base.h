#pragma once
// The application base: parameters, the option grammar, termination and the
// run loop with its single catch for stray exceptions.
#include <cstdint>
#include <exception>
#include <string>
#include <vector>

namespace hp {

class Exception;

class TApplicationBase {
public:
    // Params are parameters 1..N; ExeName is parameter 0.
    TApplicationBase(std::string ExeName, std::vector<std::string> Params);
    virtual ~TApplicationBase();
    TApplicationBase(const TApplicationBase&) = delete;
    TApplicationBase& operator=(const TApplicationBase&) = delete;

    // Calls DoRun until terminated; an exception that escapes DoRun is
    // reported by HandleException.
    void Run();

    virtual void SetTitle(const std::string& Value) { FTitle = Value; }
    const std::string& Title() const { return FTitle; }
    virtual bool GetConsoleApplication() const { return true; }

    virtual std::string GetParams(int Index) const;
    virtual int GetParamCount() const;
    std::string ParamStr(int Index) const { return GetParams(Index); }
    int ParamCount() const { return GetParamCount(); }
    const std::string& ExeName() const { return FExeName; }

    // Index of the last parameter that matches the option name S, or -1.
    // LongOpt tells whether the parameter examined last was a long option.
    int FindOptionIndex(const std::string& S, bool& LongOpt, int StartAt = -1) const;
    bool HasOption(const std::string& S) const;
    bool HasOption(char C, const std::string& S) const;
    std::string GetOptionValue(char C, const std::string& S) const;
    std::string GetOptionAtIndex(int AIndex, bool IsLong) const;

    virtual void Terminate();
    virtual void Terminate(int AExitCode);
    bool Terminated() const { return FTerminated; }
    int ExitCode() const { return FExitCode; }
    // Records the process exit status without ending the run (an action
    // that failed; the run still goes on to the finish prompt).
    void SetExitCode(int AExitCode) { FExitCode = AExitCode; }

    char OptionChar = '-';
    bool CaseSensitiveOptions = true;
    bool StopOnException = false;
    std::int32_t ExceptionExitCode = 0;

protected:
    virtual void DoRun() = 0;
    virtual void HandleException(const std::exception_ptr& E);
    virtual void ShowException(const Exception& E);
    virtual void DoLog(const std::string&) {}

private:
    std::string FExeName;
    std::vector<std::string> FParams;
    std::string FTitle;
    bool FTerminated = false;
    int FExitCode = 0;
};

// The one-line report of a stray exception, cut to 255 characters (without
// the line end that the caller adds).
std::string ExceptionReport(const std::exception_ptr& E);

} // namespace hp
