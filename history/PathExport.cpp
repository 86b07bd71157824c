#include "history/PathExport.h"

#include <cstdio>

#include "history/HistoryCsv.h"

namespace PathExport {

namespace {

std::string joined(const std::vector<IpAddress>& addresses) {
    std::string out;
    for (const IpAddress& a : addresses)
        out += (out.empty() ? "" : " ") + a.text();
    return out;
}

std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", u);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string jsonAddresses(const std::vector<IpAddress>& addresses) {
    std::string out = "[";
    for (std::size_t i = 0; i < addresses.size(); ++i) {
        out += i == 0 ? "" : ",";
        out += addresses[i].family == IpAddress::Family::None ? std::string("null") : jsonString(addresses[i].text());
    }
    return out + "]";
}

} // namespace

std::string csvHeader() {
    return HistoryCsv::line(
        {"time", "host", "hop", "answered", "sent", "lost", "loss_percent", "min_ms", "avg_ms", "max_ms", "mdev_ms"});
}

std::string csvRecord(const std::string& host, const PathMinute& m) {
    const bool times = m.received() > 0;
    auto ms = [times](std::uint32_t us) { return times ? HistoryCsv::milliseconds(us) : std::string(); };
    char loss[16];
    std::snprintf(loss, sizeof loss, "%.1f", m.lossPercent());
    return HistoryCsv::line({HistoryCsv::isoUtc(m.minuteMs), host, std::to_string(m.hop), joined(m.answered),
                             std::to_string(m.sent), std::to_string(m.lost), loss, ms(m.minUs), ms(m.avgUs),
                             ms(m.maxUs), ms(m.mdevUs)});
}

void writeCsv(const std::string& host, const std::vector<PathMinute>& minutes, std::ostream& out) {
    out << csvHeader();
    for (const PathMinute& m : minutes)
        out << csvRecord(host, m);
}

void writeJson(const std::string& host, const std::vector<PathMinute>& minutes, const std::vector<RouteChange>& changes,
               std::ostream& out) {
    out << "{\"host\":" << jsonString(host) << ",\"minutes\":[";
    for (std::size_t i = 0; i < minutes.size(); ++i) {
        const PathMinute& m = minutes[i];
        out << (i == 0 ? "" : ",") << "\n{\"time\":" << jsonString(HistoryCsv::isoUtc(m.minuteMs))
            << ",\"hop\":" << unsigned{m.hop} << ",\"answered\":" << jsonAddresses(m.answered) << ",\"sent\":" << m.sent
            << ",\"lost\":" << m.lost;
        if (m.received() > 0)
            out << ",\"min_ms\":" << HistoryCsv::milliseconds(m.minUs)
                << ",\"avg_ms\":" << HistoryCsv::milliseconds(m.avgUs)
                << ",\"max_ms\":" << HistoryCsv::milliseconds(m.maxUs)
                << ",\"mdev_ms\":" << HistoryCsv::milliseconds(m.mdevUs);
        out << "}";
    }
    out << "],\"route_changes\":[";
    for (std::size_t i = 0; i < changes.size(); ++i) {
        const RouteChange& c = changes[i];
        out << (i == 0 ? "" : ",") << "\n{\"time\":" << jsonString(HistoryCsv::isoUtc(c.atMs))
            << ",\"address\":" << jsonString(c.address) << ",\"hop\":" << unsigned{c.hop}
            << ",\"before\":" << jsonAddresses(c.before) << ",\"after\":" << jsonAddresses(c.after) << "}";
    }
    out << "]}\n";
}

} // namespace PathExport
