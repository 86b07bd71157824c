#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "history/HistoryCsv.h"

namespace {

// A strict RFC 4180 reader: CR LF ends a record, quoted fields may hold anything, a stray quote fails.
bool readCsv(const std::string& text, std::vector<std::vector<std::string>>& records) {
    std::vector<std::string> record;
    std::string field;
    std::size_t i = 0;
    while (i < text.size()) {
        if (text[i] == '"') {
            for (++i;; ++i) {
                if (i >= text.size())
                    return false;
                if (text[i] == '"') {
                    if (i + 1 < text.size() && text[i + 1] == '"') {
                        field += '"';
                        ++i;
                    } else {
                        ++i;
                        break;
                    }
                } else {
                    field += text[i];
                }
            }
        } else {
            while (i < text.size() && text[i] != ',' && text[i] != '\r' && text[i] != '\n') {
                if (text[i] == '"')
                    return false;
                field += text[i++];
            }
        }
        if (i < text.size() && text[i] == ',') {
            record.push_back(std::move(field));
            field.clear();
            ++i;
        } else if (text.compare(i, 2, "\r\n") == 0) {
            record.push_back(std::move(field));
            field.clear();
            records.push_back(std::move(record));
            record.clear();
            i += 2;
        } else {
            return false;
        }
    }
    return record.empty() && field.empty();
}

TEST(HistoryCsv, TrickyFieldsSurviveARoundTrip) {
    const std::vector<std::string> hosts = {
        "plain.example", "comma,host",    "quote\"d", "\"\"",    "line\nbreak",   "carriage\rreturn",
        "crlf\r\nend",   " edge blanks ", "",         "ünïcødé", "a,\"b\"\r\n,c",
    };
    std::string csv = HistoryCsv::header();
    std::vector<ProbeSample> samples;
    for (std::size_t i = 0; i < hosts.size(); ++i) {
        ProbeSample s{1'700'000'000'123 + static_cast<std::int64_t>(i),
                      hosts[i],
                      "127.0.0." + std::to_string(i),
                      i % 3 == 0 ? std::nullopt : std::optional<std::int64_t>(i * 1001),
                      i % 3 == 0 ? 11010u : 0u,
                      i % 3 == 0 ? std::nullopt : std::optional<int>(64)};
        samples.push_back(s);
        csv += HistoryCsv::record(s, [](std::uint32_t status) { return status == 0 ? "Success" : "Timed, \"out\""; });
    }
    std::vector<std::vector<std::string>> records;
    ASSERT_TRUE(readCsv(csv, records)) << csv;
    ASSERT_EQ(records.size(), hosts.size() + 1);
    EXPECT_EQ(records[0],
              (std::vector<std::string>{"time", "host", "address", "rtt_ms", "status", "status_text", "ttl"}));
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const std::vector<std::string>& r = records[i + 1];
        ASSERT_EQ(r.size(), 7u) << i;
        EXPECT_EQ(r[1], samples[i].host);
        EXPECT_EQ(r[2], samples[i].address);
        EXPECT_EQ(r[3], samples[i].rttUs ? HistoryCsv::milliseconds(*samples[i].rttUs) : "");
        EXPECT_EQ(r[4], std::to_string(samples[i].status));
        EXPECT_EQ(r[5], samples[i].status == 0 ? "Success" : "Timed, \"out\"");
        EXPECT_EQ(r[6], samples[i].ttl ? "64" : "");
    }
}

TEST(HistoryCsv, TimesAndRoundTripTimesAreFormattedExactly) {
    const std::vector<std::pair<std::int64_t, std::string>> times = {
        {0, "1970-01-01T00:00:00.000Z"},
        {1'796'685'300'007, "2026-12-07T23:15:00.007Z"},
        {-1, "1969-12-31T23:59:59.999Z"},
    };
    for (const auto& [ms, text] : times)
        EXPECT_EQ(HistoryCsv::isoUtc(ms), text);
    const std::vector<std::pair<std::int64_t, std::string>> rtts = {
        {0, "0.000"}, {1, "0.001"}, {999, "0.999"}, {12'345, "12.345"}, {2'000'000, "2000.000"}, {-1'500, "-1.500"},
    };
    for (const auto& [us, text] : rtts)
        EXPECT_EQ(HistoryCsv::milliseconds(us), text);
}

} // namespace
