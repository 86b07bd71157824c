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

Settings defaults() {
    return Settings{};
}

class ApplyCommandLineTable : public ::testing::TestWithParam<Case> {};

TEST_P(ApplyCommandLineTable, GivesTheExpectedSettings) {
    const Case& c = GetParam();
    Settings actual = defaults();
    StartRequests requests;
    applyCommandLine(actual, c.args, requests);
    Settings expected = defaults();
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
    {"StartWithValueIsAHost", {"/start=1"}, [](Settings& s) { s.host = "/start=1"; }},
    {"TrayWithSuffixIsAHost", {"/trayx"}, [](Settings& s) { s.host = "/trayx"; }},
    // An option is named by the text before the first "=": a value holding "/a", "/b", "/i" or "/t" never
    // decides which option it belongs to, and keeps its case.
    {"RunaPathHoldingSlashA",
     {"/runa=/home/me/scripts/alert.sh"},
     [](Settings& s) { s.appFileName = "/home/me/scripts/alert.sh"; }},
    {"LogfPathHoldingSlashB",
     {"/logf=/tmp/Backup/run.log"},
     [](Settings& s) { s.logFileName = "/tmp/Backup/run.log"; }},
    {"LogfPathKeepsCase", {"/logf=/home/Me/x.log"}, [](Settings& s) { s.logFileName = "/home/Me/x.log"; }},
    {"RunpHoldingSlashIAndSlashT", {"/runp=/i /t %Status%"}, [](Settings& s) { s.appParams = "/i /t %Status%"; }},
    {"RunpEqualsInside",
     {"/runp=--level=2 --host=%address%"},
     [](Settings& s) { s.appParams = "--level=2 --host=%address%"; }},
    {"RunpQuotesKept", {"/runp=\"%address%\" 'x y'"}, [](Settings& s) { s.appParams = "\"%address%\" 'x y'"; }},
    {"BufferValueHoldingSlashI", {"/b=/i=5"}, nullptr},
    {"UnknownNameIsTheHostEvenWithAnOptionInItsValue", {"/x=/b=5"}, [](Settings& s) { s.host = "/x=/b=5"; }},
    {"NameHoldingAnOptionMatchesIt", {"/backup"}, nullptr},
    {"OptionNameInCapitals", {"/TRIES=5"}, [](Settings& s) { s.tries = 5; }},
    {"LongOptionsNeverBecomeTheHost", {"--help", "h.example", "--whatever"}, [](Settings& s) { s.host = "h.example"; }},
    {"BufferLongForm", {"/buffer=64"}, [](Settings& s) { s.buffer = 64; }},
    {"BufferHexNegative", {"/b=-$40"}, nullptr},
    {"BufferNegative", {"/b=-100"}, [](Settings& s) { s.buffer = 100; }},
    {"IntervalZero", {"/i=0"}, [](Settings& s) { s.interval = 1000; }},
    {"IntervalNegative", {"/i=-5"}, [](Settings& s) { s.interval = 5000; }},
    {"IntervalLongForm", {"/interval=30"}, [](Settings& s) { s.interval = 30000; }},
    {"IntervalGarbageKeeps", {"/i=soon"}, nullptr},
    {"IntervalTooLargeClamps", {"/i=9999999"}, [](Settings& s) { s.interval = 2147483000; }},
    {"IntervalMinInt", {"/i=-2147483648"}, [](Settings& s) { s.interval = 2147483000; }},
    {"AnalizeModeNegativeOne", {"/a=-1"}, [](Settings& s) { s.analysisMode = AnalysisMode::Percent; }},
    {"AnalizeModeThreeIsZero", {"/a=3"}, [](Settings& s) { s.analysisMode = AnalysisMode::Tries; }},
    {"AnalizeModeWithoutValueKeeps", {"/a=2", "/a"}, [](Settings& s) { s.analysisMode = AnalysisMode::Time; }},
    {"TriesZero", {"/tries=0"}, [](Settings& s) { s.tries = 1; }},
    {"TriesThreeHundred", {"/tries=300"}, [](Settings& s) { s.tries = 44; }},
    {"TriesTwoHundred", {"/tries=200"}, [](Settings& s) { s.tries = 128; }},
    {"LogLevelThree", {"/logl=3"}, [](Settings& s) { s.logLevel = LogLevel::EveryRequest; }},
    {"LogLevel256", {"/logl=1", "/logl=256"}, [](Settings& s) { s.logLevel = LogLevel::Off; }},
    {"PercentsSwapAfterScan",
     {"/minp=60", "/maxp=40"},
     [](Settings& s) {
         s.minPercent = 40;
         s.maxPercent = 60;
     }},
    {"PercentClampedFirst",
     {"/minp=356"},
     [](Settings& s) {
         s.minPercent = 45;
         s.maxPercent = 100;
     }},
    {"TimesSwap",
     {"/mint=800", "/maxt=200"},
     [](Settings& s) {
         s.minTime = 200;
         s.maxTime = 800;
     }},
    {"MinTimeMinInt",
     {"/mint=-2147483648"},
     [](Settings& s) {
         s.minTime = 500;
         s.maxTime = 2147483647;
     }},
    {"RunModeTwo", {"/runm=2"}, [](Settings& s) { s.appMode = 7; }},
    {"RunModeThree", {"/runm=3"}, [](Settings& s) { s.appMode = 1; }},
    {"RunModeMinusOne", {"/runm=-1"}, [](Settings& s) { s.appMode = 3; }},
    {"RunModeMissingKeeps", {"/runm=2", "/runm"}, [](Settings& s) { s.appMode = 7; }},
    {"RunModeGarbageKeeps", {"/runm=1", "/runmode=max"}, [](Settings& s) { s.appMode = 3; }},
    {"RunApplicationEmptied", {"/runa="}, nullptr},
    {"LogAppendUpperYes", {"/loga=YES"}, [](Settings& s) { s.logAppend = true; }},
    {"LogAppendQuotedBlanks", {"/loga= yes "}, [](Settings& s) { s.logAppend = true; }},
    {"LogAppendTabs", {"/loga=\ttrue\r"}, [](Settings& s) { s.logAppend = true; }},
    {"LogAppendEmptyKeeps", {"/loga=1", "/loga="}, [](Settings& s) { s.logAppend = true; }},
    {"LogAppendNo", {"/loga=1", "/loga=no"}, nullptr},
    {"LogAppendOther", {"/loga=1", "/loga=on"}, nullptr},
    {"LogFileKeepsCase", {"/LOGF=LOG.TXT"}, [](Settings& s) { s.logFileName = "LOG.TXT"; }},
    {"LogFileFirstEqualsSign", {"/logf=a=b"}, [](Settings& s) { s.logFileName = "a=b"; }},
    {"ParamsKeepCase", {"/runp=%Address% %STATUS%"}, [](Settings& s) { s.appParams = "%Address% %STATUS%"; }},
    {"SecondHostWins", {"First.Example", "Second.Example"}, [](Settings& s) { s.host = "Second.Example"; }},
    {"HostKeepsCase", {"MyHost", "/start"}, [](Settings& s) { s.host = "MyHost"; }, {false, true}},
    {"LongArgumentTakenWhole", {std::string(300, 'h')}, [](Settings& s) { s.host = std::string(300, 'h'); }},
    {"LongLogFileTakenWhole",
     {"/logf=" + std::string(400, 'L')},
     [](Settings& s) { s.logFileName = std::string(400, 'L'); }},
};

INSTANTIATE_TEST_SUITE_P(Edges, ApplyCommandLineTable, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return info.param.name; });

TEST(applyCommandLine, FixUpsRunOnlyWhenThereAreArguments) {
    Settings s;
    s.minPercent = 90; // as the options dialog could never leave it, to see whether anything reorders
    s.maxPercent = 10;
    s.logLevel = static_cast<LogLevel>(9);
    StartRequests requests;
    applyCommandLine(s, {}, requests);
    EXPECT_EQ(s.minPercent, 90);
    EXPECT_EQ(s.logLevel, static_cast<LogLevel>(9));

    applyCommandLine(s, {"host"}, requests);
    EXPECT_EQ(s.minPercent, 10);
    EXPECT_EQ(s.maxPercent, 90);
    EXPECT_EQ(s.logLevel, LogLevel::EveryRequest);
}

TEST(applyCommandLine, NumericOptionsDefaultToTheCurrentValue) {
    Settings s;
    s.interval = 7000;
    s.buffer = 1000;
    StartRequests requests;
    applyCommandLine(s, {"/i=x", "/b=", "/tries=?", "/mint"}, requests);
    EXPECT_EQ(s.interval, 7000);
    EXPECT_EQ(s.buffer, 1000);
    EXPECT_EQ(s.tries, 3);
    EXPECT_EQ(s.minTime, 100u);
}

TEST(OptionHelpers, CutAndParseValues) {
    EXPECT_EQ(optionValue("/b=64"), "64");
    EXPECT_EQ(optionValue("/b"), "");
    EXPECT_EQ(optionValue("/b="), "");
    EXPECT_EQ(optionValue("/logf==x"), "=x");
    EXPECT_EQ(numericOption("/b=-7", 3), 7);
    EXPECT_EQ(numericOption("/b=7 ", 3), 3);
    EXPECT_EQ(numericOption("/b=$FFFFFFFF", 3), 1);
    EXPECT_TRUE(booleanOption("/loga= 1 ", false));
    EXPECT_FALSE(booleanOption("/loga=0", true));
    EXPECT_TRUE(booleanOption("/loga", true));
}

TEST(Usage, ListsEveryOptionAndVersionNamesTheProgram) {
    EXPECT_EQ(versionText(), "Ostrevo 2.2.2.58\n");
    const std::string help = usageText();
    for (const char* option :
         {"/tray", "/start", "/b=", "/i=", "/a=", "/tries=", "/minp=", "/maxp=", "/mint=", "/maxt=", "/logl=", "/loga=",
          "/logf=", "/runa=", "/runm=", "/runp=", "--help", "--version", "--metrics=ADDRESS:PORT",
          "--autostart"})
        EXPECT_NE(help.find(option), std::string::npos) << option;
}

struct LongCase {
    std::vector<std::string> args;
    std::vector<std::string> given; // long options recognised
    std::string error;              // empty when the arguments are fine
};

TEST(scanLongOptions, RecognisesOwnOptionsLeavesQtsAndRefusesTheRest) {
    const LongCase cases[] = {
        {{}, {}, ""},
        {{"--help"}, {"--help"}, ""},
        {{"host", "/start", "--version"}, {"--version"}, ""},
        {{"--version", "--help"}, {"--help", "--version"}, ""},
        {{"/b=--help", "-help"}, {}, ""}, // not arguments of their own that start with "--"
        {{"--platform", "offscreen", "--style=fusion", "-display", ":9"}, {}, ""}, // Qt's own
        {{"--bogus"}, {}, "unknown option --bogus"},
        {{"--HELP"}, {}, "unknown option --HELP"},
        {{"--"}, {}, "unknown option --"},
        {{"--help=yes"}, {}, "option --help takes no value"},
        {{"--help", "--metrics=:9"}, {"--help", "--metrics"}, ""}, // the address is judged where it is served
        {{"--metrics"}, {}, "option --metrics needs a value: --metrics=ADDRESS:PORT"},
        {{"--metric=9100"}, {}, "unknown option --metric=9100"},
        {{"--autostart", "/i=5"}, {"--autostart"}, ""},
        {{"--autostart=1"}, {}, "option --autostart takes no value"},
    };
    for (const LongCase& c : cases) {
        const LongOptionScan scan = scanLongOptions(c.args);
        std::vector<std::string> given;
        for (const auto& [name, value] : scan.given)
            given.push_back(name);
        const std::string label = c.args.empty() ? "(none)" : c.args.front();
        EXPECT_EQ(scan.error, c.error) << label;
        if (c.error.empty()) {
            EXPECT_EQ(given, c.given) << label;
        }
    }
}

} // namespace
