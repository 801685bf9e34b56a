// Number conversion of board replies and the one-line report of a stray
// exception.
#include "app/application_base.h"
#include "runtime/exceptions.h"

#include <gtest/gtest.h>

namespace {

TEST(StrToIntTest, AcceptsSignedDecimalWithLeadingBlanks)
{
    EXPECT_EQ(hp::StrToInt("100"), 100);
    EXPECT_EQ(hp::StrToInt(" \t-42"), -42);
    EXPECT_EQ(hp::StrToInt("+7"), 7);
    EXPECT_EQ(hp::StrToInt("2147483647"), 2147483647);
    EXPECT_EQ(hp::StrToInt("-2147483648"), -2147483647 - 1);
}

TEST(StrToIntTest, RejectsEverythingElseWithTheQuotedText)
{
    for (const std::string bad : {"", " ", "-", "12a", "100\r", "1 ", "2147483648", "-2147483649", "0x10"}) {
        try {
            hp::StrToInt(bad);
            ADD_FAILURE() << "accepted \"" << bad << "\"";
        } catch (const hp::EConvertError& e) {
            EXPECT_EQ(e.Message(), "\"" + bad + "\" is an invalid integer");
            EXPECT_NE(e.Address(), nullptr);
        }
    }
}

std::exception_ptr Capture(void (*Raise)())
{
    try {
        Raise();
    } catch (...) {
        return std::current_exception();
    }
    return nullptr;
}

TEST(ExceptionReportTest, ProgramExceptionShowsClassAndMessageOnASecondLine)
{
    const std::string report = hp::ExceptionReport(Capture([] { hp::StrToInt(""); }));
    ASSERT_EQ(report.rfind("Exception at $", 0), 0u) << report;
    const std::string tail = report.substr(report.find(": "));
    EXPECT_EQ(tail, ": EConvertError:\n\"\" is an invalid integer.");
    // The address is the real code address: 16 hex digits, not zero.
    const std::string address = report.substr(14, 16);
    EXPECT_EQ(address.find_first_not_of("0123456789ABCDEF"), std::string::npos);
    EXPECT_NE(address, "0000000000000000");
}

TEST(ExceptionReportTest, NoSecondFullStopAndCutTo255)
{
    const std::string dotted = hp::ExceptionReport(
        Capture([] { throw hp::Exception("ends with a stop."); }));
    EXPECT_EQ(dotted.substr(dotted.size() - 7), "a stop.") << dotted;
    EXPECT_NE(dotted.substr(dotted.size() - 2), "..");
    const std::string longOne = hp::ExceptionReport(
        Capture([] { throw hp::Exception(std::string(1000, 'x')); }));
    EXPECT_EQ(longOne.size(), 255u);
}

TEST(ExceptionReportTest, ForeignObjectsAreNamedByTheirType)
{
    const std::string stdReport = hp::ExceptionReport(Capture([] { throw std::runtime_error("boom"); }));
    EXPECT_NE(stdReport.find(": std::runtime_error:\nboom."), std::string::npos) << stdReport;
    const std::string intReport = hp::ExceptionReport(Capture([] { throw 42; }));
    EXPECT_NE(intReport.find(": int."), std::string::npos) << intReport;
}

class TThrowingApp : public hp::TApplicationBase {
public:
    TThrowingApp() : TApplicationBase("x", {"a"}) {}
    int Runs = 0;

protected:
    void DoRun() override
    {
        ++Runs;
        throw hp::Exception("stray");
    }
};

TEST(RunLoopTest, StrayExceptionEndsTheRunWithTheExceptionExitCode)
{
    TThrowingApp app;
    app.StopOnException = true;
    app.ExceptionExitCode = 2;
    testing::internal::CaptureStdout();
    app.Run();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(app.Runs, 1);
    EXPECT_TRUE(app.Terminated());
    EXPECT_EQ(app.ExitCode(), 2);
    EXPECT_NE(out.find(": Exception:\nstray."), std::string::npos) << out;
}

} // namespace
