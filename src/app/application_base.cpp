#include "app/application_base.h"

#include "runtime/console.h"
#include "runtime/exceptions.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cxxabi.h>
#include <memory>
#include <typeinfo>

namespace hp {

namespace {

constexpr std::size_t MaxReportLength = 255;

std::string UpperCase(std::string S)
{
    std::transform(S.begin(), S.end(), S.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return S;
}

std::string Demangle(const char* Name)
{
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> readable(
        abi::__cxa_demangle(Name, nullptr, nullptr, &status), std::free);
    return status == 0 && readable ? std::string(readable.get()) : std::string(Name);
}

std::string AddressText(const void* Address)
{
    char text[32];
    std::snprintf(text, sizeof text, "$%016llX",
                  static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(Address)));
    return text;
}

std::string WithFullStop(std::string Text)
{
    if (Text.empty() || Text.back() != '.')
        Text.push_back('.');
    return Text;
}

std::string Cut(std::string Report)
{
    if (Report.size() > MaxReportLength)
        Report.resize(MaxReportLength);
    return Report;
}

std::string ReportFor(const Exception& E)
{
    return Cut(WithFullStop("Exception at " + AddressText(E.Address()) + ": " + E.ClassName() + ":\n"
                            + E.Message()));
}

} // namespace

TApplicationBase::TApplicationBase(std::string ExeName, std::vector<std::string> Params)
    : FExeName(std::move(ExeName)), FParams(std::move(Params))
{
}

TApplicationBase::~TApplicationBase() = default;

void TApplicationBase::Run()
{
    do {
        try {
            DoRun();
        } catch (...) {
            HandleException(std::current_exception());
        }
    } while (!FTerminated);
}

std::string TApplicationBase::GetParams(int Index) const
{
    if (Index == 0)
        return FExeName;
    if (Index < 0 || Index > GetParamCount())
        return {};
    return FParams[static_cast<std::size_t>(Index - 1)];
}

int TApplicationBase::GetParamCount() const
{
    return static_cast<int>(FParams.size());
}

int TApplicationBase::FindOptionIndex(const std::string& S, bool& LongOpt, int StartAt) const
{
    const std::string wanted = CaseSensitiveOptions ? S : UpperCase(S);
    int result = -1;
    int i = StartAt == -1 ? ParamCount() : StartAt;
    while (result == -1 && i > 0) {
        std::string o = ParamStr(i);
        if (o.size() >= 2 && o[0] == OptionChar) {
            o.erase(0, 1);
            LongOpt = !o.empty() && o[0] == OptionChar;
            if (LongOpt) {
                o.erase(0, 1);
                const std::size_t eq = o.find('=');
                if (eq != std::string::npos)
                    o.resize(eq);
            }
            if (!CaseSensitiveOptions)
                o = UpperCase(o);
            if (o == wanted)
                result = i;
        }
        --i;
    }
    return result;
}

bool TApplicationBase::HasOption(const std::string& S) const
{
    bool longOpt = false;
    return FindOptionIndex(S, longOpt) != -1;
}

bool TApplicationBase::HasOption(char C, const std::string& S) const
{
    bool longOpt = false;
    return FindOptionIndex(std::string(1, C), longOpt) != -1 || FindOptionIndex(S, longOpt) != -1;
}

std::string TApplicationBase::GetOptionValue(char C, const std::string& S) const
{
    bool longOpt = false;
    int i = FindOptionIndex(std::string(1, C), longOpt);
    if (i == -1)
        i = FindOptionIndex(S, longOpt);
    if (i == -1)
        return {};
    return GetOptionAtIndex(i, longOpt);
}

std::string TApplicationBase::GetOptionAtIndex(int AIndex, bool IsLong) const
{
    if (AIndex == -1)
        return {};
    if (IsLong) {
        const std::string o = ParamStr(AIndex);
        const std::size_t eq = o.find('=');
        return eq == std::string::npos ? std::string() : o.substr(eq + 1);
    }
    if (AIndex < ParamCount()) {
        const std::string next = ParamStr(AIndex + 1);
        if (next.empty() || next[0] != OptionChar)
            return next;
    }
    return {};
}

void TApplicationBase::Terminate()
{
    FTerminated = true;
}

void TApplicationBase::Terminate(int AExitCode)
{
    FTerminated = true;
    FExitCode = AExitCode;
}

void TApplicationBase::HandleException(const std::exception_ptr& E)
{
    try {
        std::rethrow_exception(E);
    } catch (const Exception& e) {
        ShowException(e);
    } catch (...) {
        rt::WriteLine(ExceptionReport(E));
    }
    if (StopOnException)
        Terminate(ExceptionExitCode);
}

void TApplicationBase::ShowException(const Exception& E)
{
    rt::WriteLine(ReportFor(E));
}

std::string ExceptionReport(const std::exception_ptr& E)
{
    std::string report;
    try {
        std::rethrow_exception(E);
    } catch (const Exception& e) {
        return ReportFor(e);
    } catch (const std::exception& e) {
        // Not one of the program's own: no address was recorded, and the
        // class name is the best description there is.
        report = WithFullStop("Exception at " + AddressText(nullptr) + ": " + Demangle(typeid(e).name())
                              + ":\n" + e.what());
    } catch (...) {
        const std::type_info* type = abi::__cxa_current_exception_type();
        report = WithFullStop("Exception at " + AddressText(nullptr) + ": "
                              + (type ? Demangle(type->name()) : std::string("unknown exception")));
    }
    return Cut(report);
}

} // namespace hp
