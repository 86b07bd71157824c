#include "metrics/Exposition.h"

#include <algorithm>

#include <array>
#include <string_view>

namespace {

// Length of the well-formed UTF-8 sequence at the start of `s`, or 0 when it is not one.
std::size_t Utf8SequenceLength(std::string_view s) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80)
        return 1;
    std::size_t length = 0;
    unsigned char low = 0x80; // bounds of the second byte, which rule out overlong forms, surrogates and > U+10FFFF
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0)
            low = 0xA0;
        else if (lead == 0xED)
            high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0)
            low = 0x90;
        else if (lead == 0xF4)
            high = 0x8F;
    } else {
        return 0;
    }
    if (s.size() < length || byte(1) < low || byte(1) > high)
        return 0;
    for (std::size_t i = 2; i < length; ++i)
        if (byte(i) < 0x80 || byte(i) > 0xBF)
            return 0;
    return length;
}

// Writes `{host="...",address="..."` and the series' other labels without the closing brace, so a histogram bucket can
// append its `le`.
void openLabels(std::string& out, const SeriesSnapshot& s) {
    out += "{host=\"";
    out += escapeLabelValue(s.host);
    out += "\",address=\"";
    out += escapeLabelValue(s.address);
    out += '"';
    out += s.labels;
}

void header(std::string& out, std::string_view name, std::string_view type, std::string_view help) {
    out.append("# HELP ").append(name).append(" ").append(help).append("\n");
    out.append("# TYPE ").append(name).append(" ").append(type).append("\n");
}

void sample(std::string& out, std::string_view name, const SeriesSnapshot& s, std::string_view value) {
    out += name;
    openLabels(out, s);
    out.append("} ").append(value).append("\n");
}

// The states of ostrevo_host_status in the order they are written. N/A is "unknown", as any code outside the
// enum would be, so that exactly one state of a series is 1 whatever the status holds.
constexpr std::array<HostStatus, 4> kStates = {HostStatus::Good, HostStatus::Average, HostStatus::Bad, HostStatus::NA};

} // namespace

std::string_view statusStateName(HostStatus status) {
    switch (status) {
    case HostStatus::Good:
        return "good";
    case HostStatus::Average:
        return "average";
    case HostStatus::Bad:
        return "bad";
    case HostStatus::NA:
        break;
    }
    return "unknown";
}

std::string escapeLabelValue(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    while (!value.empty()) {
        const std::size_t length = Utf8SequenceLength(value);
        if (length == 0) {
            out += "\xEF\xBF\xBD";
            value.remove_prefix(1);
            continue;
        }
        if (value[0] == '\\')
            out += "\\\\";
        else if (value[0] == '"')
            out += "\\\"";
        else if (value[0] == '\n')
            out += "\\n";
        else
            out.append(value.substr(0, length));
        value.remove_prefix(length);
    }
    return out;
}

std::string microsAsSeconds(std::uint64_t micros) {
    std::string out = std::to_string(micros / 1'000'000);
    std::uint64_t fraction = micros % 1'000'000;
    if (fraction == 0)
        return out;
    std::string digits = std::to_string(fraction);
    digits.insert(0, 6 - digits.size(), '0');
    digits.erase(digits.find_last_not_of('0') + 1);
    return out + "." + digits;
}

std::string writeExposition(const MetricsSnapshot& snapshot) {
    std::string out;
    out.reserve(512 + snapshot.series.size() * 3072);

    header(out, "ostrevo_build_info", "gauge", "Version of the running Ostrevo.");
    out.append("ostrevo_build_info{version=\"").append(escapeLabelValue(snapshot.version)).append("\"} 1\n");

    // The standard process metric, under the name and help text the client libraries give it.
    header(out, "process_start_time_seconds", "gauge", "Start time of the process since unix epoch in seconds.");
    out.append("process_start_time_seconds ").append(microsAsSeconds(snapshot.processStartMicros)).append("\n");

    header(out, "ostrevo_probe_requests_total", "counter", "Echo requests sent since the process started.");
    for (const SeriesSnapshot& s : snapshot.series)
        sample(out, "ostrevo_probe_requests_total", s, std::to_string(s.requests));

    header(out, "ostrevo_probe_lost_total", "counter", "Echo requests without a reply since the process started.");
    for (const SeriesSnapshot& s : snapshot.series)
        sample(out, "ostrevo_probe_lost_total", s, std::to_string(s.lost));

    header(out, "ostrevo_probe_rtt_seconds", "histogram", "Round-trip times of the echo replies.");
    for (const SeriesSnapshot& s : snapshot.series) {
        std::uint64_t cumulative = 0;
        for (std::size_t i = 0; i < kRttBucketCount; ++i) {
            cumulative += s.rttBuckets[i];
            out += "ostrevo_probe_rtt_seconds_bucket";
            openLabels(out, s);
            out += ",le=\"";
            out += i < kRttBucketBoundsMicros.size() ? microsAsSeconds(kRttBucketBoundsMicros[i]) : "+Inf";
            out.append("\"} ").append(std::to_string(cumulative)).append("\n");
        }
        sample(out, "ostrevo_probe_rtt_seconds_sum", s, microsAsSeconds(s.rttSumMicros));
        sample(out, "ostrevo_probe_rtt_seconds_count", s, std::to_string(cumulative));
    }

    header(out, "ostrevo_probe_last_rtt_seconds", "gauge", "Round-trip time of the latest echo reply.");
    for (const SeriesSnapshot& s : snapshot.series)
        if (s.lastRttMicros)
            sample(out, "ostrevo_probe_last_rtt_seconds", s, microsAsSeconds(*s.lastRttMicros));

    header(out, "ostrevo_probe_reply_ttl", "gauge", "Time to live (IPv6: hop limit) of the latest good echo reply.");
    for (const SeriesSnapshot& s : snapshot.series)
        if (s.lastTtl)
            sample(out, "ostrevo_probe_reply_ttl", s, std::to_string(unsigned{*s.lastTtl}));

    // A state set: one series per status, the current one 1, so that a rule names the status it means.
    header(out, "ostrevo_host_status", "gauge",
           "Host status as a state set: 1 for the current status, 0 for the others; unknown when nothing judges "
           "the host (no run, or no decision yet).");
    for (const SeriesSnapshot& s : snapshot.series) {
        const std::string_view current = statusStateName(s.status);
        for (const HostStatus state : kStates) {
            const std::string_view name = statusStateName(state);
            out += "ostrevo_host_status";
            openLabels(out, s);
            out.append(",status=\"").append(name).append("\"} ").append(name == current ? "1" : "0").append("\n");
        }
    }

    header(out, "ostrevo_route_loss_begins_hop", "gauge",
           "Hop from which loss persists to the host on its latest route trace (taken when the host went from Good "
           "to Bad); 0 when that trace found no loss on the path; absent while no trace was taken.");
    for (const SeriesSnapshot& s : snapshot.series)
        if (s.routeLossBeginsHop)
            sample(out, "ostrevo_route_loss_begins_hop", s, std::to_string(*s.routeLossBeginsHop));

    // Only hosts whose path is watched have these; a program that watches none shows neither family.
    const bool pathWatched = std::any_of(snapshot.series.begin(), snapshot.series.end(),
                                         [](const SeriesSnapshot& s) { return s.routeChanges.has_value(); });
    if (pathWatched) {
        header(out, "ostrevo_route_changes_total", "counter",
               "Lasting changes of the route to the host (two traces in a row) found by path watching.");
        for (const SeriesSnapshot& s : snapshot.series)
            if (s.routeChanges)
                sample(out, "ostrevo_route_changes_total", s, std::to_string(*s.routeChanges));
        header(out, "ostrevo_route_hops", "gauge",
               "Hops to the host on the latest path watching trace that reached it, the host included.");
        for (const SeriesSnapshot& s : snapshot.series)
            if (s.routeHops)
                sample(out, "ostrevo_route_hops", s, std::to_string(*s.routeHops));
    }
    return out;
}
