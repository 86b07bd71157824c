#include "history/HistoryCsv.h"

#include <cstdio>
#include <ctime>

namespace HistoryCsv {

void appendField(std::string& out, std::string_view field) {
    if (field.find_first_of(",\"\r\n") == std::string_view::npos) {
        out += field;
        return;
    }
    out += '"';
    for (char c : field) {
        if (c == '"')
            out += '"';
        out += c;
    }
    out += '"';
}

std::string line(std::initializer_list<std::string_view> fields) {
    std::string out;
    bool first = true;
    for (std::string_view field : fields) {
        if (!first)
            out += ',';
        first = false;
        appendField(out, field);
    }
    out += "\r\n";
    return out;
}

std::string header() {
    return line({"time", "host", "address", "rtt_ms", "status", "status_text", "ttl"});
}

std::string isoUtc(std::int64_t atMs) {
    std::int64_t seconds = atMs / 1000;
    std::int64_t millis = atMs % 1000;
    if (millis < 0) {
        millis += 1000;
        --seconds;
    }
    const auto t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    if (gmtime_r(&t, &tm) == nullptr)
        return {};
    char text[48];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(millis));
    return text;
}

std::string milliseconds(std::int64_t us) {
    const bool negative = us < 0;
    const std::uint64_t magnitude = negative ? 0 - static_cast<std::uint64_t>(us) : static_cast<std::uint64_t>(us);
    char text[32];
    std::snprintf(text, sizeof text, "%s%llu.%03llu", negative ? "-" : "",
                  static_cast<unsigned long long>(magnitude / 1000), static_cast<unsigned long long>(magnitude % 1000));
    return text;
}

std::string record(const ProbeSample& sample, const StatusText& statusText) {
    const std::string rtt = sample.rttUs ? milliseconds(*sample.rttUs) : std::string();
    const std::string ttl = sample.ttl ? std::to_string(*sample.ttl) : std::string();
    const std::string text = statusText ? statusText(sample.status) : std::string();
    return line({isoUtc(sample.atMs), sample.host, sample.address, rtt, std::to_string(sample.status), text, ttl});
}

} // namespace HistoryCsv
