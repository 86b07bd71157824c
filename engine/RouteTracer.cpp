#include "engine/RouteTracer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <unordered_map>

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/random.h>
#include <unistd.h>

#include "engine/RoundTrip.h"
#include "engine/RouteTally.h"

namespace {

std::int64_t monotonicNanos() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return RoundTrip::nanos(t);
}

std::uint16_t randomSequence() {
    std::uint16_t value = 0;
    if (getrandom(&value, sizeof value, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof value))
        value = static_cast<std::uint16_t>(getpid());
    return value;
}

RouteTally::Answer tallyAnswer(TraceSocket::Answer::Type type) {
    switch (type) {
    case TraceSocket::Answer::Type::Reply:
        return RouteTally::Answer::Reply;
    case TraceSocket::Answer::Type::TimeExceeded:
        return RouteTally::Answer::TimeExceeded;
    case TraceSocket::Answer::Type::Unreachable:
        break;
    }
    return RouteTally::Answer::Unreachable;
}

// Between two requests of a round. Sent in a burst, every request but the first finds the path's CPUs awake
// and answers in a fraction of the time one request alone takes, which is what mtr and ping measure; a
// millisecond apart, each is timed as they time theirs. A round over nine hops costs eight of them.
constexpr std::int64_t kRequestSpacing = 1'000'000; // ns

// A request on its way: which TTL it went with, when, and which round it belongs to.
struct Pending {
    std::uint8_t ttl = 0;
    std::uint32_t round = 0;
    std::int64_t sentMono = 0;
};

} // namespace

RouteTracer::RouteTracer(TraceSocket::Preference preference) : preference_(preference) {
    stopFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

RouteTracer::~RouteTracer() {
    if (stopFd_ >= 0)
        ::close(stopFd_);
}

bool RouteTracer::open(IpAddress::Family family, const std::string& source) {
    error_.clear();
    if (stopFd_ < 0) {
        error_ = std::string("eventfd: ") + std::strerror(errno);
        return false;
    }
    if (!socket_.open(family, preference_, source)) {
        error_ = socket_.error();
        return false;
    }
    return true;
}

void RouteTracer::stop() {
    const std::uint64_t one = 1;
    (void)!write(stopFd_, &one, sizeof one);
}

RouteResult RouteTracer::trace(const IpAddress& destination, const Options& options,
                               const std::function<void(const RouteResult&)>& roundDone) {
    RouteTally tally(destination, options.maxHops);
    if (socket_.fd() < 0 || destination.family == IpAddress::Family::None) {
        error_ = "the tracer has no socket for this address";
        return tally.result(0);
    }
    error_.clear();
    std::unordered_map<std::uint16_t, Pending> pending;
    std::vector<std::uint32_t> unsettled; // per round: requests neither answered nor given up yet
    std::uint16_t sequence = randomSequence();
    const std::int64_t interval = static_cast<std::int64_t>(options.intervalMs) * 1'000'000;
    const std::int64_t wait = static_cast<std::int64_t>(options.waitMs) * 1'000'000;
    std::int64_t nextRound = monotonicNanos();
    std::uint32_t roundsStarted = 0;
    std::uint32_t roundsSent = 0; // rounds whose requests have all gone out
    std::uint32_t roundsDone = 0;
    std::uint8_t nextTtl = 0; // of the round being sent; 0: none is
    std::int64_t nextSend = 0;
    bool stopped = false;

    // Rounds report in order, once all their requests went out and settled; a later one waits for the one before.
    const auto report = [&] {
        while (roundsDone < roundsSent && unsettled[roundsDone] == 0) {
            ++roundsDone;
            if (roundDone)
                roundDone(tally.result(roundsDone));
        }
    };
    const auto settled = [&](std::uint32_t round) {
        if (--unsettled[round] == 0)
            report();
    };
    const auto take = [&](const TraceSocket::Answer& answer) {
        const auto found = pending.find(answer.sequence);
        if (found == pending.end())
            return;
        const Pending request = found->second;
        pending.erase(found);
        RoundTrip::Readings readings;
        readings.sentMono = request.sentMono;
        readings.receivedMono = answer.receivedMono;
        readings.receivedReal = answer.receivedReal;
        tally.answered(request.ttl, tallyAnswer(answer.type), answer.from, RoundTrip::microseconds(readings));
        settled(request.round);
    };

    while (!stopped) {
        std::int64_t now = monotonicNanos();
        if (nextTtl == 0 && roundsStarted < options.rounds && now >= nextRound) {
            unsettled.push_back(0);
            nextTtl = 1;
            nextSend = now;
            ++roundsStarted;
            nextRound += interval;
            nextRound = std::max(nextRound, now - interval); // a stalled thread does not send a burst of rounds
        }
        // A round's requests go out one after the other, kRequestSpacing apart, all of them in flight at once;
        // while the end of the path is unknown (the first round, a destination that never answers) they go in a
        // burst, as up to maxHops of them would otherwise hold the round back for as many milliseconds.
        while (nextTtl != 0 && now >= nextSend) {
            if (nextTtl > tally.hopsToProbe()) {
                nextTtl = 0;
                ++roundsSent;
                report();
                break;
            }
            ++sequence;
            // The number comes round again only 65536 requests later; one still waiting then is lost.
            if (const auto stale = pending.find(sequence); stale != pending.end()) {
                const Pending request = stale->second;
                pending.erase(stale);
                tally.lost(request.ttl);
                settled(request.round);
            }
            const std::int64_t sentMono = monotonicNanos();
            // A request the kernel refused is lost like one the path lost, when its wait is over.
            (void)socket_.send(destination, sequence, nextTtl);
            pending[sequence] = Pending{nextTtl, roundsStarted - 1, sentMono};
            ++unsettled.back();
            ++nextTtl;
            now = monotonicNanos();
            nextSend = tally.endKnown() ? now + kRequestSpacing : now;
        }
        for (auto it = pending.begin(); it != pending.end();) {
            if (now - it->second.sentMono < wait) {
                ++it;
                continue;
            }
            const Pending request = it->second;
            it = pending.erase(it);
            tally.lost(request.ttl);
            settled(request.round);
        }
        if (roundsSent == options.rounds && pending.empty())
            break;

        std::int64_t until = now + wait;
        if (nextTtl != 0)
            until = nextSend;
        else if (roundsStarted < options.rounds)
            until = nextRound;
        for (const auto& [key, request] : pending)
            until = std::min(until, request.sentMono + wait);
        const std::int64_t left = std::max<std::int64_t>(until - now, 0);
        const timespec timeout{static_cast<time_t>(left / 1'000'000'000), static_cast<long>(left % 1'000'000'000)};
        pollfd fds[2] = {{socket_.fd(), POLLIN, 0}, {stopFd_, POLLIN, 0}};
        const int ready = ppoll(fds, 2, &timeout, nullptr);
        if (ready < 0 && errno != EINTR) {
            error_ = std::string("poll: ") + std::strerror(errno);
            break;
        }
        if (ready <= 0)
            continue;
        if ((fds[1].revents & POLLIN) != 0) {
            std::uint64_t count = 0;
            (void)!read(stopFd_, &count, sizeof count);
            stopped = true;
        }
        if ((fds[0].revents & POLLNVAL) != 0 || !socket_.receive(destination, take)) {
            error_ = "the ICMP socket failed";
            break;
        }
    }
    return tally.result(roundsDone);
}
