// The history export: any sample, whatever bytes its host, address and status text hold, must read back
// field for field through a strict CSV reader, with a time and a round-trip time that convert back exactly.
//
// Input: time (8 bytes), rtt in microseconds (8), status (4), ttl (4), a flags byte (bit 0: has rtt, bit 1:
// has ttl), then host, address and status text separated by NUL bytes.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "history/HistoryCsv.h"

#include "fuzz/FuzzSupport.h"

namespace {

using Record = std::vector<std::string>;

// Strict RFC 4180: CR LF ends a record, a quoted field may hold anything with its quotes doubled, and a quote
// anywhere else, a bare CR or LF outside quotes, or text after a closing quote is malformed.
std::optional<std::vector<Record>> readCsv(std::string_view text) {
    std::vector<Record> records;
    Record record;
    std::size_t i = 0;
    while (i < text.size()) {
        std::string field;
        if (text[i] == '"') {
            for (++i;; ++i) {
                if (i >= text.size())
                    return std::nullopt;
                if (text[i] != '"') {
                    field += text[i];
                } else if (i + 1 < text.size() && text[i + 1] == '"') {
                    field += '"';
                    ++i;
                } else {
                    ++i;
                    break;
                }
            }
        } else {
            for (; i < text.size() && text[i] != ',' && text[i] != '\r' && text[i] != '\n'; ++i) {
                if (text[i] == '"')
                    return std::nullopt;
                field += text[i];
            }
        }
        record.push_back(std::move(field));
        if (i < text.size() && text[i] == ',') {
            ++i;
            if (i == text.size())
                return std::nullopt;
        } else if (text.substr(i, 2) == "\r\n") {
            records.push_back(std::move(record));
            record.clear();
            i += 2;
        } else {
            return std::nullopt;
        }
    }
    if (!record.empty())
        return std::nullopt;
    return records;
}

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's days_from_civil).
std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

bool digits(std::string_view s, std::size_t at, std::size_t count, unsigned& value) {
    value = 0;
    for (std::size_t i = at; i < at + count; ++i) {
        if (i >= s.size() || s[i] < '0' || s[i] > '9')
            return false;
        value = value * 10 + static_cast<unsigned>(s[i] - '0');
    }
    return true;
}

// "YYYY-MM-DDTHH:MM:SS.mmmZ" back to Unix milliseconds; nothing when the text is not of that form.
std::optional<std::int64_t> parseIsoUtc(std::string_view s) {
    unsigned y, mo, d, h, mi, se, ms;
    if (s.size() != 24 || !digits(s, 0, 4, y) || s[4] != '-' || !digits(s, 5, 2, mo) || s[7] != '-' ||
        !digits(s, 8, 2, d) || s[10] != 'T' || !digits(s, 11, 2, h) || s[13] != ':' || !digits(s, 14, 2, mi) ||
        s[16] != ':' || !digits(s, 17, 2, se) || s[19] != '.' || !digits(s, 20, 3, ms) || s[23] != 'Z')
        return std::nullopt;
    if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || se > 59)
        return std::nullopt;
    const std::int64_t days = daysFromCivil(y, mo, d);
    return ((days * 24 + h) * 60 + mi) * 60'000 + static_cast<std::int64_t>(se) * 1000 + ms;
}

// "[-]N.mmm" back to microseconds.
std::optional<std::int64_t> parseMilliseconds(std::string_view s) {
    const bool negative = !s.empty() && s[0] == '-';
    if (negative)
        s.remove_prefix(1);
    const auto dot = s.find('.');
    if (dot == std::string_view::npos || dot == 0 || s.size() != dot + 4)
        return std::nullopt;
    unsigned __int128 value = 0;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (i == dot)
            continue;
        if (s[i] < '0' || s[i] > '9')
            return std::nullopt;
        value = value * 10 + static_cast<unsigned>(s[i] - '0');
    }
    if (value > (static_cast<unsigned __int128>(1) << 63) || (!negative && value == (static_cast<unsigned __int128>(1) << 63)))
        return std::nullopt;
    const auto magnitude = static_cast<std::uint64_t>(value);
    return negative ? static_cast<std::int64_t>(0 - magnitude) : static_cast<std::int64_t>(magnitude);
}

template <typename T>
T take(const std::uint8_t*& data) {
    T value;
    std::memcpy(&value, data, sizeof value);
    data += sizeof value;
    return value;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    constexpr std::size_t kFixed = 8 + 8 + 4 + 4 + 1;
    if (size < kFixed)
        return 0;
    const std::uint8_t* p = data;
    ProbeSample sample;
    sample.atMs = take<std::int64_t>(p);
    const auto rtt = take<std::int64_t>(p);
    sample.status = take<std::uint32_t>(p);
    const auto ttl = take<std::int32_t>(p);
    const auto flags = take<std::uint8_t>(p);
    if (flags & 1)
        sample.rttUs = rtt;
    if (flags & 2)
        sample.ttl = ttl;
    const std::vector<std::string> texts = nulFields({reinterpret_cast<const char*>(p), size - kFixed}, 3);
    sample.host = texts[0];
    sample.address = texts[1];
    const std::string& statusText = texts[2];

    const std::string csv = HistoryCsv::header() + HistoryCsv::record(sample, [&](std::uint32_t status) {
                                require(status == sample.status, "status text asked for another status");
                                return statusText;
                            });
    const auto records = readCsv(csv);
    require(records.has_value(), "export is not well-formed CSV");
    require(records->size() == 2, "export is not a header and one record");
    require((*records)[0] == Record{"time", "host", "address", "rtt_ms", "status", "status_text", "ttl"},
            "header");
    const Record& r = (*records)[1];
    require(r.size() == 7, "record does not have seven fields");
    require(r[1] == sample.host, "host changed");
    require(r[2] == sample.address, "address changed");
    require(r[4] == std::to_string(sample.status), "status changed");
    require(r[5] == statusText, "status text changed");
    require(r[6] == (sample.ttl ? std::to_string(*sample.ttl) : std::string()), "ttl changed");
    require(sample.rttUs ? parseMilliseconds(r[3]) == sample.rttUs : r[3].empty(), "rtt does not read back");
    // Years 1 to 9999 are the ones a four-digit year can show; what the ledger holds lies well inside.
    constexpr std::int64_t kYear1 = -62'135'596'800'000;
    constexpr std::int64_t kYear10000 = 253'402'300'800'000;
    if (sample.atMs >= kYear1 && sample.atMs < kYear10000)
        require(parseIsoUtc(r[0]) == sample.atMs, "time does not read back");
    return 0;
}
