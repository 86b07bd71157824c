#include "text/RouteText.h"

#include <cstdio>

namespace {

std::string format(const char* pattern, double value) {
    char text[64];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}

} // namespace

namespace RouteText {

std::string milliseconds(std::uint32_t micros) {
    return format("%.1f", micros / 1000.0);
}

std::string lossPercent(const RouteHop& hop) {
    return format("%.1f%%", hop.lossPercent());
}

std::string firstAddress(const RouteHop& hop) {
    return hop.answered.empty() ? kUnknownAddress : hop.answered.front().text();
}

std::string lossLine(const RouteResult& result) {
    if (!result.lossBeginsAt)
        return "No loss on the path";
    std::string address = kUnknownAddress;
    for (const RouteHop& hop : result.hops)
        if (hop.number == *result.lossBeginsAt)
            address = firstAddress(hop);
    return "Loss begins at hop " + std::to_string(*result.lossBeginsAt) + " (" + address + ")";
}

std::string lossLine(std::optional<int> hop, const std::string& address) {
    if (!hop)
        return "No loss on the path";
    return "Loss begins at hop " + std::to_string(*hop) + " (" + (address.empty() ? kUnknownAddress : address) + ")";
}

std::string lossSentence(std::optional<int> hop, const std::string& address, std::optional<int> lastAnswering,
                         const std::string& lastAddress) {
    if (!hop || !address.empty())
        return lossLine(hop, address);
    std::string text = "Loss begins at hop " + std::to_string(*hop) + ", which does not answer";
    if (*hop == 1)
        return text;
    if (!lastAnswering)
        return text + "; no hop before it does";
    return text + "; hop " + std::to_string(*lastAnswering) + (lastAddress.empty() ? "" : ", " + lastAddress) +
           ", is the last that does";
}

std::string lossSentence(const RouteResult& result) {
    if (!result.lossBeginsAt)
        return lossLine(result);
    std::string address;
    std::optional<int> lastAnswering;
    std::string lastAddress;
    for (const RouteHop& hop : result.hops) {
        if (hop.number == *result.lossBeginsAt) {
            if (!hop.answered.empty())
                address = hop.answered.front().text();
        } else if (hop.number < *result.lossBeginsAt && !hop.answered.empty()) {
            lastAnswering = hop.number;
            lastAddress = hop.answered.front().text();
        }
    }
    return lossSentence(result.lossBeginsAt, address, lastAnswering, lastAddress);
}

std::string where(std::optional<int> hop, const std::string& address) {
    if (!hop)
        return "no loss on the path";
    return "hop " + std::to_string(*hop) + (address.empty() ? "" : ", " + address);
}

std::string changeSentence(const std::string& host, const RouteChange& change) {
    auto at = [&change](const std::vector<IpAddress>& path) {
        const std::size_t i = change.hop == 0 ? path.size() : change.hop - 1u;
        return i < path.size() && path[i].family != IpAddress::Family::None ? path[i].text()
                                                                            : std::string(kUnknownAddress);
    };
    return "Route to " + host + " changed at hop " + std::to_string(change.hop) + ": " + at(change.before) +
           " \u2192 " + at(change.after);
}

} // namespace RouteText
