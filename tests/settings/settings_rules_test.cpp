#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "settings/SettingsRules.h"

using namespace SettingsRules;

namespace {

struct NumberCase {
    std::string text;
    std::int32_t expected; // with default 777
};

TEST(parseNumber, AcceptsOnlyWholeDecimalOrHexadecimalForms) {
    const NumberCase cases[] = {
        {"0", 0},
        {"42", 42},
        {"+42", 42},
        {"-42", -42},
        {"007", 7},
        {"   12", 12},
        {"2147483647", 2147483647},
        {"-2147483648", INT32_MIN},
        {"2147483648", 777},
        {"-2147483649", 777},
        {"99999999999999999999999", 777},
        {"$40", 64},
        {"$ff", 255},
        {"x1F", 31},
        {"X1f", 31},
        {"0x10", 16},
        {"0X10", 16},
        {"$FFFFFFFF", -1},
        {"$80000000", INT32_MIN},
        {"$7FFFFFFF", 2147483647},
        {"$000000001", 1},
        {"$100000000", 777},
        {"", 777},
        {"   ", 777},
        {"+", 777},
        {"-", 777},
        {"$", 777},
        {"0x", 777},
        {"10 ", 777},
        {"\t10", 777},
        {"1 0", 777},
        {"12a", 777},
        {"-$10", 777},
        {"+0x10", 777},
        {"$1G", 777},
        {"1.5", 777},
        {"--1", 777},
    };
    for (const auto& c : cases)
        EXPECT_EQ(parseNumber(c.text, 777), c.expected) << '"' << c.text << '"';
}

TEST(parseNumber, TryParseTellsMissingNumbersApart) {
    EXPECT_EQ(tryParseNumber("777"), 777);
    EXPECT_EQ(tryParseNumber("0"), 0);
    EXPECT_FALSE(tryParseNumber("").has_value());
    EXPECT_FALSE(tryParseNumber("seven").has_value());
}

TEST(parseBoolean, TrueOnlyForExactWordsInAnyCase) {
    for (const char* text : {"yes", "YES", "Yes", "yEs", "true", "TRUE", "True", "1"})
        EXPECT_TRUE(parseBoolean(text)) << text;
    for (const char* text : {"", "no", "No", "0", " yes", "yes ", "on", "y", "2", "01", "truee"})
        EXPECT_FALSE(parseBoolean(text)) << '"' << text << '"';
}

TEST(Writers, WriteBooleansNumbersAndSeconds) {
    EXPECT_EQ(writeBoolean(true), "Yes");
    EXPECT_EQ(writeBoolean(false), "No");
    EXPECT_EQ(writeNumber(4294967295u), "4294967295");
    EXPECT_EQ(writeInterval(10000), "10");
    EXPECT_EQ(writeInterval(2147483000), "2147483");
}

TEST(magnitude, NeverEndsNegative) {
    EXPECT_EQ(magnitude(-5), 5u);
    EXPECT_EQ(magnitude(5), 5u);
    EXPECT_EQ(magnitude(INT32_MIN), 2147483647u);
    EXPECT_EQ(magnitude(INT32_MAX), 2147483647u);
}

template <typename T> struct FieldCase {
    std::string text;
    T expected;
};

TEST(StoreRules, Interval) {
    const FieldCase<std::int32_t> cases[] = {
        {"0", 1000},
        {"-5", 5000},
        {"garbage", 10000},
        {"10 ", 10000},
        {"", 10000},
        {"30", 30000},
        {"$A", 10000},
        {"2147483", 2147483000},
        {"2147484", 2147483000},
        {"-2147483648", 2147483000},
        {"$80000000", 2147483000},
        {"$FFFFFFFF", 1000},
    };
    for (const auto& c : cases)
        EXPECT_EQ(intervalFromText(c.text), c.expected) << c.text;
}

TEST(StoreRules, Buffer) {
    const FieldCase<std::int32_t> cases[] = {
        {"$40", 64},
        {"-100", 100},
        {"100000", 100000},
        {"", 32},
        {"x", 32},
        {"-2147483648", 2147483647},
        {"$80000000", 2147483647},
        {"0", 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(bufferFromText(c.text), c.expected) << c.text;
}

TEST(StoreRules, ByteSizedFields) {
    const FieldCase<int> tries[] = {{"300", 44},  {"256", 1}, {"0", 1},   {"-3", 3},           {"200", 128},
                                    {"128", 128}, {"", 3},    {"abc", 3}, {"-2147483648", 128}};
    for (const auto& c : tries)
        EXPECT_EQ(triesFromText(c.text), c.expected) << "Tries " << c.text;

    const FieldCase<int> percents[] = {{"356", 100}, {"-7", 7}, {"100", 100}, {"101", 100}, {"256", 0}, {"", 5}};
    for (const auto& c : percents)
        EXPECT_EQ(percentFromText(c.text, 5), c.expected) << "Percent " << c.text;

    const FieldCase<int> modes[] = {{"-1", 0}, {"258", 2}, {"2", 2}, {"3", 0}, {"", 0}, {"1", 1}, {"-254", 2}};
    for (const auto& c : modes)
        EXPECT_EQ(static_cast<int>(analysisModeFromText(c.text)), c.expected) << "AnalizeMode " << c.text;

    const FieldCase<int> levels[] = {{"7", 2}, {"-1", 1}, {"1", 1}, {"256", 0}, {"", 0}, {"yes", 0}};
    for (const auto& c : levels)
        EXPECT_EQ(static_cast<int>(logLevelFromText(c.text)), c.expected) << "LogLevel " << c.text;
}

TEST(StoreRules, TimesAndAppMode) {
    const FieldCase<std::uint32_t> times[] = {
        {"800", 800},
        {"-250", 250},
        {"", 100},
        {"1e3", 100},
        {"-2147483648", 2147483647u},
        {"$80000000", 2147483647u},
        {"$FFFFFFFF", 1},
    };
    for (const auto& c : times)
        EXPECT_EQ(timeFromText(c.text, 100), c.expected) << "Time " << c.text;

    const FieldCase<std::int32_t> modes[] = {{"2", 1}, {"-7", 7}, {"3", 3}, {"7", 7}, {"", 1}, {"0", 1}, {"-3", 3}};
    for (const auto& c : modes)
        EXPECT_EQ(appModeFromText(c.text), c.expected) << "AppMode " << c.text;
}

// Retention prunes what falls outside it: no stored text may shorten it by accident.
TEST(StoreRules, HistoryDaysOutOfRangeNeverShortensRetention) {
    const FieldCase<std::int32_t> cases[] = {
        {"0", 0},
        {"1", 1},
        {"7", 7},
        {"3650", 3650},
        {"+12", 12},
        {" 90", 90},
        {"$10", 16},
        {"3651", 3650},
        {"2147483647", 3650},
        {"2147483648", 3650},
        {"99999999999999999999", 3650},
        {"+2147483648", 3650},
        {"-1", 30},
        {"-7", 30},
        {"-2147483648", 30},
        {"-2147483649", 30},
        {"$FFFFFFFF", 30},
        {"$80000000", 30},
        {"$100000000", 30},
        {"", 30},
        {"forever", 30},
        {"7 ", 30},
        {"1.5", 30},
        {"+", 30},
    };
    for (const auto& c : cases)
        EXPECT_EQ(historyDaysFromText(c.text), c.expected) << '"' << c.text << '"';
}

// 0 turns the trace at an outage off; nothing stored by mistake may make it run for hours.
TEST(StoreRules, RouteRoundsStayWithinBounds) {
    const FieldCase<std::int32_t> cases[] = {
        {"0", 0},   {"1", 1}, {"10", 10},  {"100", 100},      {"101", 100}, {"2147483647", 100},
        {"-1", 10}, {"", 10}, {"ten", 10}, {"$FFFFFFFF", 10},
    };
    for (const auto& c : cases)
        EXPECT_EQ(routeRoundsFromText(c.text), c.expected) << '"' << c.text << '"';
}

TEST(PairRules, PutTheSmallerValueFirstAfterClamping) {
    Settings s;
    s.minPercent = percentFromText("150", 5);
    s.maxPercent = percentFromText("60", 45);
    orderPercents(s);
    EXPECT_EQ(s.minPercent, 60);
    EXPECT_EQ(s.maxPercent, 100);

    s.minTime = timeFromText("800", 100);
    s.maxTime = timeFromText("200", 500);
    orderTimes(s);
    EXPECT_EQ(s.minTime, 200u);
    EXPECT_EQ(s.maxTime, 800u);

    // Unsigned comparison: a huge MinTime is larger, never negative.
    s.minTime = 3000000000u;
    s.maxTime = 5;
    orderTimes(s);
    EXPECT_EQ(s.minTime, 5u);
    EXPECT_EQ(s.maxTime, 3000000000u);
}

} // namespace
