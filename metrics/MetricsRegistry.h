#pragma once

#include "metrics/MetricsSnapshot.h"
#include "metrics/ProcessStart.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

// The figures a scrape reports, fed by the probe worker once per probe and read by the server's threads.
// Every call holds one mutex for a few increments only, so probing never waits on a scrape for long.
//
// Figures are kept per (host, address) pair and only ever grow while the process lives. Pairs of different
// hosts are independent: several hosts probed at once each keep their own status. A host probed at another
// address (its name now resolves elsewhere) leaves its previous pair at N/A, since nothing judges that one
// any more. A pair that a run holds (hold(), from the observer, until the run stops or moves) is never dropped,
// however many hosts are watched: dropping it would start its counters again at every scrape. Beyond
// kMaxSeries pairs, the one no run holds that has been unused longest goes first; while every pair is held, the
// registry grows.
class MetricsRegistry {
public:
    // Room for the pairs of stopped, moved or removed hosts beside those that run.
    static constexpr std::size_t kMaxSeries = 4096;

    // `startMicros` is the process start as Unix time in microseconds, read once: it cannot change.
    explicit MetricsRegistry(std::string version = OSTREVO_VERSION, std::uint64_t startMicros = processStartMicros());

    // One finished probe. It counts as answered when statusCode is 0 and a round-trip time is given;
    // anything else is a loss. An answer's TTL replaces the previous one, also when the kernel did not tell it.
    //
    // `labels` are the series' labels besides host and address, in the exposition's form (`,target="gw"`); they
    // tell apart two series of one host (the service watches a host twice, with other sizes).
    void recordProbe(std::string_view host, std::string_view address, std::optional<std::chrono::microseconds> rtt,
                     std::uint32_t statusCode, std::optional<std::uint8_t> ttl = std::nullopt,
                     std::string_view labels = {});
    void setHostStatus(std::string_view host, std::string_view address, HostStatus status,
                       std::string_view labels = {});
    // A route trace of the pair has ended: the hop where loss begins, none for no loss on the path. A trace ends
    // seconds after the probes that led to it, so it never makes its pair the host's current one; a pair no longer
    // kept is not brought back for it.
    void setRouteLossBegins(std::string_view host, std::string_view address, std::optional<std::uint32_t> hop,
                            std::string_view labels = {});

    // Path watching traced the pair: its hop count when the trace reached the host (none: it did not), and from
    // now on its route changes are counted (from 0). As for a route trace, the pair never becomes current for it.
    void setRouteHops(std::string_view host, std::string_view address, std::optional<std::uint32_t> hops,
                      std::string_view labels = {});
    void countRouteChange(std::string_view host, std::string_view address, std::string_view labels = {});

    // A run probes the pair from now on / no longer (it stopped, or moved to another pair). A pair that no run
    // holds any more is judged by nobody: its status goes to N/A, and it may be dropped for room.
    void hold(std::string_view host, std::string_view address, std::string_view labels = {});
    void release(std::string_view host, std::string_view address, std::string_view labels = {});
    // A pair that no run holds any more goes at once instead of staying at N/A: the service's, whose removed
    // targets and old addresses are nobody's concern.
    void setDropReleased(bool drop) { dropReleased_ = drop; }

    // In order of first use.
    [[nodiscard]] MetricsSnapshot snapshot() const;

private:
    struct Series {
        SeriesSnapshot figures;
        std::uint64_t firstUse = 0;
        std::uint64_t lastUse = 0;
        std::uint32_t holds = 0; // runs that probe the pair
    };
    // (host, labels, address), and (host, labels) for a host's latest pair.
    using Key = std::tuple<std::string, std::string, std::string>;
    using HostKey = std::pair<std::string, std::string>;
    struct KeyLess {
        using is_transparent = void;
        template <class A, class B> bool operator()(const A& a, const B& b) const { return view(a) < view(b); }
        template <class... T> static auto view(const std::tuple<T...>& t) {
            return std::tuple<std::string_view, std::string_view, std::string_view>(std::get<0>(t), std::get<1>(t),
                                                                                    std::get<2>(t));
        }
        template <class A, class B> static auto view(const std::pair<A, B>& p) {
            return std::pair<std::string_view, std::string_view>(p.first, p.second);
        }
    };

    Series& seriesOf(std::string_view host, std::string_view address, std::string_view labels);
    void erase(std::map<Key, Series, KeyLess>::iterator found);
    // Drops the pair unused longest that no run holds; none while every pair is held.
    void dropLongestIdle();

    const std::string version_;
    const std::uint64_t startMicros_;
    mutable std::mutex mutex_;
    std::map<Key, Series, KeyLess> series_;
    // Each host's latest pair; its nodes live in series_.
    std::map<HostKey, Series*, KeyLess> hostPair_;
    bool dropReleased_ = false;
    std::uint64_t useClock_ = 0;
};
