// The option grammar as users meet it: which parameters select which option
// and which value the transmit option gets.
#include "app/application_base.h"
#include "app/port_option.h"

#include <gtest/gtest.h>

namespace {

class TProbeApp : public hp::TApplicationBase {
public:
    explicit TProbeApp(std::vector<std::string> Params)
        : TApplicationBase("/opt/tools/hiltpush", std::move(Params)) {}

protected:
    void DoRun() override { Terminate(); }
};

struct OptionCase {
    std::vector<std::string> Params;
    char Letter;
    const char* Name;
    bool Expected;
};

class HasOptionTest : public ::testing::TestWithParam<OptionCase> {};

TEST_P(HasOptionTest, MatchesOnlyTheDocumentedForms)
{
    const OptionCase& c = GetParam();
    TProbeApp app(c.Params);
    if (c.Letter != 0)
        EXPECT_EQ(app.HasOption(c.Letter, c.Name), c.Expected);
    else
        EXPECT_EQ(app.HasOption(c.Name), c.Expected);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, HasOptionTest,
    ::testing::Values(
        OptionCase{{}, 'h', "help", false},
        OptionCase{{"-h"}, 'h', "help", true},
        OptionCase{{"--h"}, 'h', "help", true},
        OptionCase{{"--h=x"}, 'h', "help", true},
        OptionCase{{"-help"}, 'h', "help", true},
        OptionCase{{"--help"}, 'h', "help", true},
        OptionCase{{"--help=x"}, 'h', "help", true},
        // Case-sensitive, '-' only, and a short option never takes '=...'.
        OptionCase{{"-H"}, 'h', "help", false},
        OptionCase{{"--HELP"}, 'h', "help", false},
        OptionCase{{"/h"}, 'h', "help", false},
        OptionCase{{"-help=x"}, 'h', "help", false},
        // Letters are never combined.
        OptionCase{{"-hv"}, 'h', "help", false},
        OptionCase{{"-hv"}, 'v', "version", false},
        OptionCase{{"-erase-all"}, 0, "erase-all", true},
        OptionCase{{"--erase-all"}, 0, "erase-all", true},
        OptionCase{{"--erase-all=yes"}, 0, "erase-all", true},
        OptionCase{{"-e"}, 0, "erase-all", false},
        OptionCase{{"-slist"}, 0, "slist", true},
        OptionCase{{"-slist"}, 's', "silent", false},
        OptionCase{{"--"}, 'h', "help", false},
        OptionCase{{"-"}, 'h', "help", false},
        // The file name takes part in the search like every parameter.
        OptionCase{{"song.raw", "-s"}, 's', "silent", true},
        OptionCase{{"-t", "-i"}, 'i', "info", true}));

struct ValueCase {
    std::vector<std::string> Params;
    std::string Expected;
};

class TransValueTest : public ::testing::TestWithParam<ValueCase> {};

TEST_P(TransValueTest, GivesTheValueUsersExpect)
{
    TProbeApp app(GetParam().Params);
    EXPECT_EQ(app.GetOptionValue('t', "trans"), GetParam().Expected);
}

INSTANTIATE_TEST_SUITE_P(
    Values, TransValueTest,
    ::testing::Values(
        ValueCase{{"-t", "V?"}, "V?"},
        ValueCase{{"--trans=V?"}, "V?"},
        ValueCase{{"--trans", "V?"}, ""},   // a long option never takes the next parameter
        ValueCase{{"-t", "-i"}, ""},
        ValueCase{{"-t"}, ""},
        ValueCase{{"-t", "a", "-t", "b"}, "b"},
        ValueCase{{"--trans=x", "-t", "y"}, "y"}, // the letter is searched first
        ValueCase{{"-t", "y", "--trans=x"}, "y"},
        ValueCase{{"--trans="}, ""},
        ValueCase{{"--trans=a=b"}, "a=b"},
        ValueCase{{"-trans", "line one"}, "line one"},
        ValueCase{{"-t", "a\\nb"}, "a\\nb"},
        ValueCase{{}, ""}));

TEST(FindOptionIndexTest, ReturnsTheLastMatchAndTellsLongFromShort)
{
    TProbeApp app({"--info", "x", "-i", "y"});
    bool longOpt = true;
    EXPECT_EQ(app.FindOptionIndex("i", longOpt), 3);
    EXPECT_FALSE(longOpt);
    EXPECT_EQ(app.FindOptionIndex("info", longOpt), 1);
    EXPECT_TRUE(longOpt);
    // Starting below a match skips it.
    EXPECT_EQ(app.FindOptionIndex("i", longOpt, 2), -1);
    EXPECT_EQ(app.FindOptionIndex("nothing", longOpt), -1);
}

TEST(FindOptionIndexTest, EmptyLongNameMatchesOnlyAnEmptySearch)
{
    TProbeApp app({"--"});
    bool longOpt = false;
    EXPECT_EQ(app.FindOptionIndex("", longOpt), 1);
    EXPECT_TRUE(longOpt);
}

TEST(ParamsTest, IndexZeroIsTheExecutableAndOutOfRangeIsEmpty)
{
    TProbeApp app({"-s", "song.raw"});
    EXPECT_EQ(app.ParamCount(), 2);
    EXPECT_EQ(app.ParamStr(0), "/opt/tools/hiltpush");
    EXPECT_EQ(app.ParamStr(2), "song.raw");
    EXPECT_EQ(app.ParamStr(3), "");
    EXPECT_EQ(app.ParamStr(-1), "");
}

TEST(GetOptionAtIndexTest, ShortOptionTakesANextParameterThatIsNotAnOption)
{
    TProbeApp app({"-t", "", "-x"});
    EXPECT_EQ(app.GetOptionAtIndex(1, false), "");
    EXPECT_EQ(app.GetOptionAtIndex(2, false), "");
    EXPECT_EQ(app.GetOptionAtIndex(3, false), "");
    EXPECT_EQ(app.GetOptionAtIndex(-1, false), "");
}

TEST(CaseInsensitiveOptionsTest, CompareUpperCasedWhenSwitchedOff)
{
    TProbeApp app({"--HeLp"});
    EXPECT_FALSE(app.HasOption("help"));
    app.CaseSensitiveOptions = false;
    EXPECT_TRUE(app.HasOption("help"));
}

} // namespace

// The port option's value: the parameter after -p wherever it stands, or the
// inline value of --port=; a missing one is empty, which the run refuses.
TEST(PortOption, ValueAnywhereInlineOrMissing)
{
    const auto value = [](std::vector<std::string> P) { return TProbeApp(std::move(P)).GetOptionValue('p', "port"); };
    EXPECT_EQ(value({"a.wav", "-p", "COM5", "b.wav"}), "COM5");
    EXPECT_EQ(value({"--port=/dev/ttyUSB0", "a.wav"}), "/dev/ttyUSB0");
    EXPECT_EQ(value({"a.wav", "-p"}), "");
    EXPECT_EQ(value({"-p", "-s", "a.wav"}), "");
    EXPECT_EQ(value({"--port", "COM5"}), "");
}

// A parameter that begins like the port option is one of its forms or is
// refused, the first in command-line order; a value never begins with '-'.
TEST(PortOption, MistypedFormsAreRefused)
{
    EXPECT_EQ(hp::MistypedPortOption({"-p", "pX", "-port", "Y", "--p", "--port", "--p=Z", "--port=", "--p==x", "-t",
                                      "p", "-s", "--", "-", "-x", "/p"}),
              std::nullopt);
    const std::pair<std::string, std::vector<std::string>> refused[] = {
        {"-p=COM5", {"-p=COM5"}}, {"-pCOM5", {"-pCOM5"}}, {"-port=COM5", {"-port=COM5"}}, {"-P", {"-P", "COM5"}},
        {"--Port=COM5", {"--Port=COM5"}}, {"--P", {"--P"}}, {"--ports=X", {"--ports=X"}},
        {"-pX", {"-t", "-pX", "-Pfoo"}}, {"-Pfoo", {"-p", "-Pfoo"}}, {"--pORT=X", {"a.raw", "--pORT=X", "-pY"}}};
    for (const auto& [first, params] : refused)
        EXPECT_EQ(hp::MistypedPortOption(params), first);
}
