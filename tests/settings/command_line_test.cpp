#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "settings/CommandLine.h"

namespace {

struct Case {
    std::string name;
    std::vector<std::string> args;
    std::function<void(Settings&)> expect; // changes the defaults into what should come out
    StartRequests requests{};
};

void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}

Settings Defaults() {
    return Settings{};
}

class ApplyCommandLineTable : public ::testing::TestWithParam<Case> {};

TEST_P(ApplyCommandLineTable, GivesTheExpectedSettings) {
    const Case& c = GetParam();
    Settings actual = Defaults();
    StartRequests requests;
    ApplyCommandLine(actual, c.args, requests);
    Settings expected = Defaults();
    if (c.expect)
        c.expect(expected);
    EXPECT_EQ(actual, expected);
    EXPECT_EQ(requests.tray, c.requests.tray);
    EXPECT_EQ(requests.start, c.requests.start);
}

const Case kCases[] = {
    {"NoArguments", {}, nullptr},
    {"StartInCapitals", {"/START"}, nullptr, {false, true}},
    {"Tray", {"/Tray"}, nullptr, {true, false}},
    {"StartWithValueIsAHost", {"/start=1"}, [](Settings& s) { s.Host = "/start=1"; }},
    {"TrayWithSuffixIsAHost", {"/trayx"}, [](Settings& s) { s.Host = "/trayx"; }},
    {"LogFilePathTakenByBuffer", {"/logf=c:/backup/x.log"}, nullptr},
    {"RunaPathTakenByBuffer", {"/runa=/usr/bin/notify"}, nullptr},
    {"BufferLongForm", {"/buffer=64"}, [](Settings& s) { s.Buffer = 64; }},
    {"BufferHexNegative", {"/b=-$40"}, nullptr},
    {"BufferNegative", {"/b=-100"}, [](Settings& s) { s.Buffer = 100; }},
    {"IntervalZero", {"/i=0"}, [](Settings& s) { s.Interval = 1000; }},
    {"IntervalNegative", {"/i=-5"}, [](Settings& s) { s.Interval = 5000; }},
    {"IntervalLongForm", {"/interval=30"}, [](Settings& s) { s.Interval = 30000; }},
    {"IntervalGarbageKeeps", {"/i=soon"}, nullptr},
    {"IntervalTooLargeClamps", {"/i=9999999"}, [](Settings& s) { s.Interval = 2147483000; }},
    {"IntervalMinInt", {"/i=-2147483648"}, [](Settings& s) { s.Interval = 2147483000; }},
    {"AnalizeModeNegativeOne", {"/a=-1"}, [](Settings& s) { s.AnalizeMode = 1; }},
    {"AnalizeModeThreeIsZero", {"/a=3"}, [](Settings& s) { s.AnalizeMode = 0; }},
    {"AnalizeModeWithoutValueKeeps", {"/a=2", "/a"}, [](Settings& s) { s.AnalizeMode = 2; }},
    {"TriesZero", {"/tries=0"}, [](Settings& s) { s.Tries = 1; }},
    {"TriesThreeHundred", {"/tries=300"}, [](Settings& s) { s.Tries = 44; }},
    {"TriesTwoHundred", {"/tries=200"}, [](Settings& s) { s.Tries = 128; }},
    {"LogLevelThree", {"/logl=3"}, [](Settings& s) { s.LogLevel = 2; }},
    {"LogLevel256", {"/logl=1", "/logl=256"}, [](Settings& s) { s.LogLevel = 0; }},
    {"PercentsSwapAfterScan",
     {"/minp=60", "/maxp=40"},
     [](Settings& s) {
         s.MinPercent = 40;
         s.MaxPercent = 60;
     }},
    {"PercentClampedFirst",
     {"/minp=356"},
     [](Settings& s) {
         s.MinPercent = 45;
         s.MaxPercent = 100;
     }},
    {"TimesSwap",
     {"/mint=800", "/maxt=200"},
     [](Settings& s) {
         s.MinTime = 200;
         s.MaxTime = 800;
     }},
    {"MinTimeMinInt",
     {"/mint=-2147483648"},
     [](Settings& s) {
         s.MinTime = 500;
         s.MaxTime = 2147483647;
     }},
    {"RunModeTwo", {"/runm=2"}, [](Settings& s) { s.AppMode = 7; }},
    {"RunModeThree", {"/runm=3"}, [](Settings& s) { s.AppMode = 1; }},
    {"RunModeMinusOne", {"/runm=-1"}, [](Settings& s) { s.AppMode = 3; }},
    {"RunModeMissingKeeps", {"/runm=2", "/runm"}, [](Settings& s) { s.AppMode = 7; }},
    {"RunModeGarbageKeeps", {"/runm=1", "/runmode=max"}, [](Settings& s) { s.AppMode = 3; }},
    {"RunApplicationEmptied", {"/runa="}, nullptr},
    {"LogAppendUpperYes", {"/loga=YES"}, [](Settings& s) { s.LogAppend = true; }},
    {"LogAppendQuotedBlanks", {"/loga= yes "}, [](Settings& s) { s.LogAppend = true; }},
    {"LogAppendTabs", {"/loga=\ttrue\r"}, [](Settings& s) { s.LogAppend = true; }},
    {"LogAppendEmptyKeeps", {"/loga=1", "/loga="}, [](Settings& s) { s.LogAppend = true; }},
    {"LogAppendNo", {"/loga=1", "/loga=no"}, nullptr},
    {"LogAppendOther", {"/loga=1", "/loga=on"}, nullptr},
    {"LogFileLowerCased", {"/LOGF=LOG.TXT"}, [](Settings& s) { s.LogFileName = "log.txt"; }},
    {"LogFileFirstEqualsSign", {"/logf=a=b"}, [](Settings& s) { s.LogFileName = "a=b"; }},
    {"ParamsLowerCased", {"/runp=%Address% %STATUS%"}, [](Settings& s) { s.AppParams = "%address% %status%"; }},
    {"SecondHostWins", {"First.Example", "Second.Example"}, [](Settings& s) { s.Host = "Second.Example"; }},
    {"HostKeepsCase", {"MyHost", "/start"}, [](Settings& s) { s.Host = "MyHost"; }, {false, true}},
    {"LongArgumentTakenWhole", {std::string(300, 'h')}, [](Settings& s) { s.Host = std::string(300, 'h'); }},
    {"LongLogFileTakenWhole",
     {"/logf=" + std::string(400, 'L')},
     [](Settings& s) { s.LogFileName = std::string(400, 'l'); }},
};

INSTANTIATE_TEST_SUITE_P(Edges, ApplyCommandLineTable, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return info.param.name; });

TEST(ApplyCommandLine, FixUpsRunOnlyWhenThereAreArguments) {
    Settings s;
    s.MinPercent = 90; // as the options dialog could never leave it, to see whether anything reorders
    s.MaxPercent = 10;
    s.LogLevel = 9;
    StartRequests requests;
    ApplyCommandLine(s, {}, requests);
    EXPECT_EQ(s.MinPercent, 90);
    EXPECT_EQ(s.LogLevel.load(), 9);

    ApplyCommandLine(s, {"host"}, requests);
    EXPECT_EQ(s.MinPercent, 10);
    EXPECT_EQ(s.MaxPercent, 90);
    EXPECT_EQ(s.LogLevel.load(), 2);
}

TEST(ApplyCommandLine, NumericOptionsDefaultToTheCurrentValue) {
    Settings s;
    s.Interval = 7000;
    s.Buffer = 1000;
    StartRequests requests;
    ApplyCommandLine(s, {"/i=x", "/b=", "/tries=?", "/mint"}, requests);
    EXPECT_EQ(s.Interval, 7000);
    EXPECT_EQ(s.Buffer, 1000);
    EXPECT_EQ(s.Tries, 3);
    EXPECT_EQ(s.MinTime, 100u);
}

TEST(OptionHelpers, CutAndParseValues) {
    EXPECT_EQ(OptionValue("/b=64"), "64");
    EXPECT_EQ(OptionValue("/b"), "");
    EXPECT_EQ(OptionValue("/b="), "");
    EXPECT_EQ(OptionValue("/logf==x"), "=x");
    EXPECT_EQ(NumericOption("/b=-7", 3), 7);
    EXPECT_EQ(NumericOption("/b=7 ", 3), 3);
    EXPECT_EQ(NumericOption("/b=$FFFFFFFF", 3), 1);
    EXPECT_TRUE(BooleanOption("/loga= 1 ", false));
    EXPECT_FALSE(BooleanOption("/loga=0", true));
    EXPECT_TRUE(BooleanOption("/loga", true));
}

TEST(InformationalOption, HelpListsEveryOptionAndVersionNamesTheProgram) {
    EXPECT_EQ(InformationalOption({"--version"}), std::optional<std::string>("Ostrevo 2.2.2.58\n"));
    auto help = InformationalOption({"--help"});
    ASSERT_TRUE(help.has_value());
    for (const char* option : {"/tray", "/start", "/b=", "/i=", "/a=", "/tries=", "/minp=", "/maxp=", "/mint=",
                               "/maxt=", "/logl=", "/loga=", "/logf=", "/runa=", "/runm=", "/runp=", "--version"})
        EXPECT_NE(help->find(option), std::string::npos) << option;
    EXPECT_FALSE(InformationalOption({}).has_value());
    EXPECT_FALSE(InformationalOption({"host", "--help"}).has_value());
    EXPECT_FALSE(InformationalOption({"/start"}).has_value());
}

} // namespace
