#include "history/PathCodec.h"

#include <algorithm>
#include <cmath>

namespace PathCodec {

namespace {

void put(std::string& out, std::uint32_t value, int width) {
    for (int shift = 8 * (width - 1); shift >= 0; shift -= 8)
        out += static_cast<char>((value >> shift) & 0xff);
}

std::uint32_t get(std::string_view in, std::size_t at, int width) {
    std::uint32_t value = 0;
    for (int i = 0; i < width; ++i)
        value = (value << 8) | static_cast<unsigned char>(in[at + static_cast<std::size_t>(i)]);
    return value;
}

// One field of the current hop record in the view: each byte found in a blob of all 256 values.
std::string fieldSql(int offset, int width) {
    std::string sum;
    for (int i = 0; i < width; ++i) {
        const std::string byte = "(instr(k.b, substr(m.hops, " + std::to_string(kHopBytes) + " * n.i + " +
                                 std::to_string(offset + i + 1) + ", 1)) - 1)";
        const int shift = 8 * (width - 1 - i);
        sum += (sum.empty() ? "" : " + ") + (shift == 0 ? byte : byte + " * " + std::to_string(1 << shift));
    }
    return "(" + sum + ")";
}

} // namespace

std::vector<PathMinute> fromTrace(const std::vector<RouteHop>& hops) {
    std::vector<PathMinute> out;
    for (const RouteHop& hop : hops) {
        if (hop.number == 0)
            continue;
        if (out.size() < hop.number)
            out.resize(hop.number);
        PathMinute& h = out[hop.number - 1];
        h.answered = hop.answered;
        h.sent = hop.sent;
        h.lost = hop.lost();
        if (!hop.neverAnswered()) {
            h.minUs = hop.bestUs;
            h.avgUs = hop.averageUs;
            h.maxUs = hop.worstUs;
            h.mdevUs = hop.stdDevUs;
        }
    }
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i].hop = static_cast<std::uint8_t>(i + 1);
    return out;
}

void merge(std::vector<PathMinute>& into, const std::vector<PathMinute>& later) {
    if (into.size() < later.size())
        into.resize(later.size());
    for (std::size_t i = 0; i < later.size(); ++i) {
        PathMinute& a = into[i];
        const PathMinute& b = later[i];
        a.hop = static_cast<std::uint8_t>(std::min<std::size_t>(i + 1, 255));
        for (const IpAddress& address : b.answered)
            if (std::find(a.answered.begin(), a.answered.end(), address) == a.answered.end())
                a.answered.push_back(address);
        const double na = a.received();
        const double nb = b.received();
        if (nb > 0 && na > 0) {
            // Two groups' mean and deviation as one group's: the sums of squares about the joint mean add up.
            const double mean = (na * a.avgUs + nb * b.avgUs) / (na + nb);
            const double squares = (na - 1) * a.mdevUs * a.mdevUs + (nb - 1) * b.mdevUs * b.mdevUs +
                                   na * (a.avgUs - mean) * (a.avgUs - mean) + nb * (b.avgUs - mean) * (b.avgUs - mean);
            a.mdevUs = na + nb > 1 ? static_cast<std::uint32_t>(std::lround(std::sqrt(squares / (na + nb - 1)))) : 0;
            a.avgUs = static_cast<std::uint32_t>(std::lround(mean));
            a.minUs = std::min(a.minUs, b.minUs);
            a.maxUs = std::max(a.maxUs, b.maxUs);
        } else if (nb > 0) {
            a.minUs = b.minUs;
            a.avgUs = b.avgUs;
            a.maxUs = b.maxUs;
            a.mdevUs = b.mdevUs;
        }
        a.sent += b.sent;
        a.lost += b.lost;
    }
}

std::string encode(const std::vector<PathMinute>& hops, const std::vector<std::uint16_t>& ids) {
    std::string out;
    out.reserve(hops.size() * kHopBytes);
    for (std::size_t i = 0; i < hops.size(); ++i) {
        const PathMinute& h = hops[i];
        std::uint32_t sent = h.sent;
        std::uint32_t lost = std::min(h.lost, h.sent);
        if (sent > kMostCount) {
            // A minute traced more often than a byte counts keeps its share of loss.
            lost = static_cast<std::uint32_t>(std::lround(double{1.0} * lost * kMostCount / sent));
            sent = kMostCount;
        }
        put(out, i < ids.size() ? ids[i] : 0, 2);
        put(out, sent, 1);
        put(out, lost, 1);
        for (const std::uint32_t us : {h.minUs, h.avgUs, h.maxUs})
            put(out, std::min(us, kMostMicros), 3);
        const std::uint32_t mdev = std::min(h.mdevUs, kMostDeviationMicros);
        put(out, mdev < 32768 ? mdev : 32768 + mdev / 32, 2);
    }
    return out;
}

std::vector<PathMinute> decode(std::string_view blob, std::vector<std::uint16_t>& ids) {
    std::vector<PathMinute> out;
    ids.clear();
    for (std::size_t at = 0; at + kHopBytes <= blob.size(); at += kHopBytes) {
        ids.push_back(static_cast<std::uint16_t>(get(blob, at, 2)));
        PathMinute h;
        h.hop = static_cast<std::uint8_t>(std::min<std::size_t>(out.size() + 1, 255));
        h.sent = get(blob, at + 2, 1);
        h.lost = std::min(get(blob, at + 3, 1), h.sent);
        h.minUs = get(blob, at + 4, 3);
        h.avgUs = get(blob, at + 7, 3);
        h.maxUs = get(blob, at + 10, 3);
        const std::uint32_t mdev = get(blob, at + 13, 2);
        h.mdevUs = mdev < 32768 ? mdev : (mdev - 32768) * 32;
        out.push_back(std::move(h));
    }
    return out;
}

std::string joinAddresses(const std::vector<IpAddress>& addresses) {
    std::string out;
    for (const IpAddress& a : addresses)
        out += (out.empty() ? "" : " ") + a.text();
    return out;
}

std::vector<IpAddress> splitAddresses(std::string_view text) {
    std::vector<IpAddress> out;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = std::min(text.find(' ', at), text.size());
        if (end > at)
            if (const std::optional<IpAddress> address = IpAddress::parse(text.substr(at, end - at)))
                out.push_back(*address);
        at = end + 1;
    }
    return out;
}

std::string viewSql() {
    std::string bytes;
    static const char hex[] = "0123456789ABCDEF";
    for (int v = 0; v < 256; ++v) {
        bytes += hex[v >> 4];
        bytes += hex[v & 15];
    }
    const std::string sent = fieldSql(2, 1);
    const std::string lost = fieldSql(3, 1);
    auto time = [&](const std::string& value) {
        return "CASE WHEN " + sent + " > " + lost + " THEN " + value + " END";
    };
    const std::string mdev = fieldSql(13, 2);
    return "CREATE VIEW IF NOT EXISTS path_hops AS WITH RECURSIVE k(b) AS (SELECT X'" + bytes +
           "'), n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < 254) "
           "SELECT (m.slot >> 24) * 60000 AS minute_ms, h.host AS host, h.address AS address, n.i + 1 AS hop, "
           "coalesce(a.addresses, '') AS answered, " +
           sent + " AS sent, " + lost + " AS lost, " + time(fieldSql(4, 3)) + " AS min_us, " + time(fieldSql(7, 3)) +
           " AS avg_us, " + time(fieldSql(10, 3)) + " AS max_us, " +
           time("CASE WHEN " + mdev + " < 32768 THEN " + mdev + " ELSE (" + mdev + " - 32768) * 32 END") +
           " AS mdev_us FROM path_minutes AS m JOIN hosts AS h ON h.id = m.slot % 16777216 JOIN k "
           "JOIN n ON n.i < length(m.hops) / " +
           std::to_string(kHopBytes) + " LEFT JOIN path_addresses AS a ON a.id = " + fieldSql(0, 2) + ";";
}

} // namespace PathCodec
