#include "probe/RouteConsole.h"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <thread>

#include "engine/RouteTracer.h"
#include "probe/ProbeCommandLine.h"
#include "text/RouteText.h"

namespace {

using RouteText::firstAddress;
using RouteText::milliseconds;

std::string format(const char* pattern, double value) {
    char text[64];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}

std::string padLeft(const std::string& text, std::size_t width) {
    return std::string(width > text.size() ? width - text.size() : 0, ' ') + text;
}

std::string padRight(const std::string& text, std::size_t width) {
    return text + std::string(width > text.size() ? width - text.size() : 0, ' ');
}

std::string jsonMilliseconds(const RouteHop& hop, std::uint32_t micros) {
    return hop.neverAnswered() ? "null" : format("%.3f", micros / 1000.0);
}

std::string jsonString(const std::string& text) {
    // Addresses only: digits, hex letters, dots, colons and a zone name; quotes and backslashes stay escaped.
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\')
            out += '\\';
        if (static_cast<unsigned char>(c) >= 0x20)
            out += c;
    }
    return out + "\"";
}

// The signals that end a trace early, with what it has found so far.
sigset_t endingSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGUSR1); // the main thread's way of ending the waiter
    return signals;
}

} // namespace

namespace RouteConsole {

std::string table(const RouteResult& result, const std::string& host) {
    std::size_t width = 15;
    for (const RouteHop& hop : result.hops)
        for (const IpAddress& address : hop.answered)
            width = std::max(width, address.text().size());
    std::string out = "Route to " + host + " [" + result.destination.text() + "], " + std::to_string(result.rounds) +
                      (result.rounds == 1 ? " round:\n" : " rounds:\n");
    out += "Hop  " + padRight("Address", width) + "  Loss%   Snt   Last    Avg   Best   Wrst  StDev\n";
    for (const RouteHop& hop : result.hops) {
        out += padLeft(std::to_string(hop.number), 3) + "  " + padRight(firstAddress(hop), width) + " " +
               padLeft(RouteText::lossPercent(hop), 6) + " " + padLeft(std::to_string(hop.sent), 5);
        if (hop.neverAnswered()) {
            out += "      -      -      -      -      -\n";
        } else {
            for (std::uint32_t micros : {hop.lastUs, hop.averageUs, hop.bestUs, hop.worstUs, hop.stdDevUs})
                out += " " + padLeft(milliseconds(micros), 6);
            out += hop.unreachable ? "  unreachable\n" : "\n";
        }
        // A load balancer answers from several addresses: the others under the first.
        for (std::size_t i = 1; i < hop.answered.size(); ++i)
            out += "     " + hop.answered[i].text() + "\n";
    }
    return out + RouteText::lossLine(result) + "\n";
}

std::string json(const RouteResult& result) {
    std::string out = "{\"destination\":" + jsonString(result.destination.text()) +
                      ",\"rounds\":" + std::to_string(result.rounds) +
                      ",\"reached\":" + (result.reached ? "true" : "false") + ",\"hops\":[";
    for (std::size_t i = 0; i < result.hops.size(); ++i) {
        const RouteHop& hop = result.hops[i];
        out += i == 0 ? "{" : ",{";
        out += "\"hop\":" + std::to_string(hop.number);
        out += ",\"address\":" + (hop.neverAnswered() ? std::string("null") : jsonString(firstAddress(hop)));
        out += ",\"addresses\":[";
        for (std::size_t a = 0; a < hop.answered.size(); ++a)
            out += (a == 0 ? "" : ",") + jsonString(hop.answered[a].text());
        out += "],\"sent\":" + std::to_string(hop.sent) + ",\"lost\":" + std::to_string(hop.lost());
        out += ",\"loss_percent\":" + format("%.1f", hop.lossPercent());
        out += ",\"last_ms\":" + jsonMilliseconds(hop, hop.lastUs);
        out += ",\"avg_ms\":" + jsonMilliseconds(hop, hop.averageUs);
        out += ",\"best_ms\":" + jsonMilliseconds(hop, hop.bestUs);
        out += ",\"worst_ms\":" + jsonMilliseconds(hop, hop.worstUs);
        out += ",\"stddev_ms\":" + jsonMilliseconds(hop, hop.stdDevUs);
        out += std::string(",\"unreachable\":") + (hop.unreachable ? "true" : "false") + "}";
    }
    out += "],\"loss_begins_at\":" + (result.lossBeginsAt ? std::to_string(*result.lossBeginsAt) : "null");
    return out + "}\n";
}

int run(const ProbeOptions& options, const IpAddress& target, const std::string& targetText) {
    RouteTracer tracer;
    // The socket layer has said why; the closing line is a plain run's, so both fail alike.
    if (!tracer.open(target.family, options.source)) {
        std::fputs("Can't open Ping Chanel.\n", stderr);
        return 2;
    }
    if (!options.json) {
        std::printf("Tracing the route to %s [%s]...\n", options.host.c_str(), targetText.c_str());
        std::fflush(stdout);
    }
    RouteTracer::Options traceOptions;
    traceOptions.rounds = options.count == 0 ? kDefaultRounds : static_cast<std::uint32_t>(options.count);
    traceOptions.intervalMs = static_cast<std::uint32_t>(options.intervalMs);

    // Ctrl+C ends the trace with what it has, like mtr's report; the waiter thread turns the signal into a stop.
    const sigset_t signals = endingSignals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::thread waiter([&tracer, signals] {
        int received = 0;
        sigwait(&signals, &received);
        if (received != SIGUSR1)
            tracer.stop();
    });
    const RouteResult result = tracer.trace(target, traceOptions);
    pthread_kill(waiter.native_handle(), SIGUSR1);
    waiter.join();

    const std::string text = options.json ? json(result) : table(result, options.host);
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
    if (!tracer.error().empty()) {
        std::fprintf(stderr, "ostrevo-probe: %s\n", tracer.error().c_str());
        return 2;
    }
    return result.reached ? 0 : 1;
}

} // namespace RouteConsole
