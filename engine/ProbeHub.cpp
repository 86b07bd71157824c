#include "engine/ProbeHub.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cassert>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include <netinet/in.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include "engine/EchoReply.h"
#include "engine/HostRun.h"
#include "engine/IcmpPacket.h"
#include "engine/KernelHubSocket.h"
#include "engine/RoundTrip.h"
#include "engine/WorkerCommand.h"
#include "types/IpStatus.h"

namespace {

using Family = IpAddress::Family;
using IcmpSocket::Kind;

constexpr std::uint8_t kPayloadByte = 0x20;
// Room for the largest datagram with its header: an echo may carry up to kMaxEchoPayload bytes of data.
constexpr std::size_t kReceiveBufferSize = 65536 + 512;
// Messages read from one socket per wake-up before the timers get their turn again.
constexpr int kReceiveBatch = 256;
constexpr int kEpollEvents = 16;
constexpr std::size_t kSequences = 65536;
// A send due this soon goes out with the others of the same wake-up: the pause after a probe is a floor
// that nobody times this finely, and one wake-up then serves the many hosts whose turns are close together.
constexpr std::int64_t kSendSlackNs = 2'000'000;
// Sends between two reads of the sockets: on loopback the replies queue while the sends go out, and a burst of
// many hosts' turns must not overflow the receive buffer.
constexpr int kSendsBetweenReads = 64;

std::int64_t monoNanos() {
    return RoundTrip::nanos(IcmpSocket::now());
}

bool sameAddress(const IpAddress& a, const IpAddress& b) {
    return a.family == b.family && a.bytes == b.bytes;
}

} // namespace

struct ProbeHub::Impl {
    struct Socket {
        std::unique_ptr<HubSocket> handle;
        Kind kind = Kind::None;
        Family family = Family::None;
        std::string source;
        std::uint16_t id = 0; // ours on a raw socket; the datagram socket's kernel sets its own
        std::size_t users = 0;
        std::size_t outstanding = 0; // requests out on it that nobody has answered yet
        bool watched = false;        // in the epoll set
    };

    struct Request {
        std::uint16_t sequence = 0;
        timespec sentAt{};
        std::int64_t sentUnixMs = 0;
        std::int64_t deadlineNs = 0;
        std::uint64_t number = 0; // in the run, from 1
    };

    struct Host {
        Host(RunId id, Impl& hub) : run(id, hub.face, hub.alerts, hub.observers) {}
        HostRun run;
        Socket* socket = nullptr;
        std::uint32_t generation = 0; // send timers of an older one are stale
        // Out and unanswered, oldest first: one at most, unless the run sends on a cadence of its own.
        std::vector<Request> requests;
        std::uint64_t sent = 0; // requests of this run
        // Commands that wait for the request under way, as a run of its own takes them between probes.
        bool resetAfterRequest = false;
        bool loggingOffAfterRequest = false;
        bool stopAfterRequest = false;

        [[nodiscard]] bool waiting() const { return !requests.empty(); }
        [[nodiscard]] const Request* request(std::uint16_t sequence) const {
            const auto found = std::find_if(requests.begin(), requests.end(),
                                            [sequence](const Request& r) { return r.sequence == sequence; });
            return found == requests.end() ? nullptr : &*found;
        }
    };

    // A send turn of a host (valid while its generation is the host's), or the deadline of one of its requests
    // (valid while that request waits; its number comes round again only 65536 requests later, so the deadline
    // must match too).
    struct Timer {
        std::int64_t dueNs = 0;
        RunId run = 0;
        std::uint32_t generation = 0;
        std::uint16_t sequence = 0;
        bool deadline = false;
        // A min-heap through std::push_heap's max-heap.
        bool operator<(const Timer& other) const { return dueNs > other.dueNs; }
    };

    Impl(WindowPort& f, AlertSink* a, HubSocket::Opener o) : face(f), alerts(a), opener(std::move(o)) {
        wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    }
    ~Impl() {
        if (wakeFd >= 0)
            ::close(wakeFd);
    }
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    void post(RunId run, WorkerCommand command) {
        {
            std::lock_guard lock(mutex);
            pending.emplace_back(run, std::move(command));
            commandsWaiting.store(true, std::memory_order_relaxed);
        }
        const std::uint64_t one = 1;
        (void)!write(wakeFd, &one, sizeof one);
    }

    void loop();
    [[nodiscard]] bool takeCommands();
    void startHost(RunId id, RunSettings settings);
    void stopHost(RunId id);
    void stopAfterRequest(RunId id);
    void releaseHost(Host& host);
    [[nodiscard]] Socket* acquireSocket(Family family, const std::string& source);
    void releaseSocket(Socket* socket);
    void watch(Socket& socket, bool on);
    void schedule(Host& host, std::int64_t dueNs);
    [[nodiscard]] bool live(const Timer& timer) const;
    void runTimers();
    void send(Host& host, std::int64_t dueNs);
    void answer(Host& host, std::uint16_t sequence, const EchoResult& result);
    void complete(Host& host, const Request& request, const EchoResult& result);
    void receive(Socket& socket);
    void timeOut(Host& host, std::uint16_t sequence);
    [[nodiscard]] bool handleMessage(Socket& socket, std::span<const std::uint8_t> bytes, const IpAddress& from,
                                     const IcmpSocket::Control& control, RoundTrip::Readings readings);
    void drainErrors(Socket& socket);
    [[nodiscard]] Host* waitingHost(const Socket& socket, std::uint16_t sequence) const;
    [[nodiscard]] std::span<const std::uint8_t> payload(std::uint16_t size);
    void shutDown();

    WindowPort& face;
    AlertSink* alerts;
    const HubSocket::Opener opener;
    std::vector<ProbeObserver*> observers;

    std::mutex mutex;
    std::vector<std::pair<RunId, WorkerCommand>> pending;
    // Set with each command posted: a host's next request waits until the commands before it are taken, so a
    // stop told during a report (the face's own, say) is never overtaken by another probe.
    std::atomic<bool> commandsWaiting{false};
    int wakeFd = -1;
    std::thread thread;
    bool started = false;

    // Hub-thread state from here on.
    int epollFd = -1;
    std::vector<std::unique_ptr<Socket>> sockets;
    std::unordered_map<RunId, std::unique_ptr<Host>> hosts;
    // Which host waits for the reply of each sequence number: numbers are hub-wide, so one socket serves all.
    std::vector<Host*> bySequence = std::vector<Host*>(kSequences, nullptr);
    std::uint16_t nextSequence = IcmpSocket::randomId();
    std::vector<Timer> timers;
    // Hub-wide, so that a host stopped and started again (a new Host under the same id) can never take the
    // timers of its earlier run for its own.
    std::uint32_t generations = 0;
    std::vector<std::pair<RunId, WorkerCommand>> taken;
    std::vector<std::uint8_t> fill; // every request's data: the same bytes for all
    std::vector<std::uint8_t> packet;
    std::vector<std::uint8_t> received;
};

ProbeHub::ProbeHub(WindowPort& face, AlertSink* alerts) : ProbeHub(face, alerts, IcmpSocket::Preference::Auto) {}

ProbeHub::ProbeHub(WindowPort& face, AlertSink* alerts, IcmpSocket::Preference sockets)
    : ProbeHub(face, alerts, KernelHubSocket::opener(sockets)) {}

ProbeHub::ProbeHub(WindowPort& face, AlertSink* alerts, HubSocket::Opener sockets)
    : impl_(std::make_unique<Impl>(face, alerts, std::move(sockets))) {}

ProbeHub::~ProbeHub() {
    if (impl_->started) {
        impl_->post(0, QuitCommand{});
        impl_->thread.join();
    }
}

void ProbeHub::addObserver(ProbeObserver& observer) {
    assert(!impl_->started);
    impl_->observers.push_back(&observer);
}

void ProbeHub::start() {
    if (impl_->started)
        return;
    impl_->started = true;
    impl_->thread = std::thread([impl = impl_.get()] { impl->loop(); });
}

void ProbeHub::startRun(RunId run, RunSettings settings) {
    impl_->post(run, StartCommand{std::move(settings)});
}

void ProbeHub::stopRun(RunId run, StopMode mode) {
    impl_->post(run, StopCommand{mode == StopMode::AfterRequestUnderWay});
}

void ProbeHub::resetRun(RunId run) {
    impl_->post(run, ResetCommand{});
}

void ProbeHub::loggingOff(RunId run) {
    impl_->post(run, LoggingOffCommand{});
}

void ProbeHub::Impl::loop() {
    pthread_setname_np(pthread_self(), "ostrevo-hub");
    epollFd = epoll_create1(EPOLL_CLOEXEC);
    epoll_event wake{};
    wake.events = EPOLLIN;
    wake.data.ptr = nullptr;
    if (epollFd < 0 || wakeFd < 0 || epoll_ctl(epollFd, EPOLL_CTL_ADD, wakeFd, &wake) != 0) {
        // No way to wait: answer every start as a failed one until the quit comes.
        for (;;) {
            std::vector<std::pair<RunId, WorkerCommand>> commands;
            {
                std::lock_guard lock(mutex);
                commands.swap(pending);
            }
            for (auto& [run, command] : commands) {
                if (std::holds_alternative<QuitCommand>(command))
                    return;
                if (std::holds_alternative<StartCommand>(command))
                    face.runEnded(run, RunEnd::ChannelFailed);
                else if (std::holds_alternative<StopCommand>(command))
                    face.runEnded(run, RunEnd::Stopped);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    received.resize(kReceiveBufferSize);
    std::array<epoll_event, kEpollEvents> events{};
    for (;;) {
        int timeoutMs = -1;
        if (!timers.empty()) {
            const std::int64_t remaining = timers.front().dueNs - monoNanos();
            timeoutMs = remaining <= 0 ? 0 : static_cast<int>((remaining + 999'999) / 1'000'000);
        }
        const int ready = epoll_wait(epollFd, events.data(), static_cast<int>(events.size()), timeoutMs);
        for (int i = 0; i < ready; ++i) {
            auto* socket = static_cast<Socket*>(events[static_cast<std::size_t>(i)].data.ptr);
            if (socket == nullptr) {
                std::uint64_t count = 0;
                (void)!read(wakeFd, &count, sizeof count);
                if (!takeCommands()) {
                    shutDown();
                    return;
                }
                continue;
            }
            // A socket closed by a command of this same wake-up is gone: its event is skipped.
            if (std::none_of(sockets.begin(), sockets.end(), [socket](const auto& s) { return s.get() == socket; }))
                continue;
            if (socket->handle->errorsPending(events[static_cast<std::size_t>(i)].events))
                drainErrors(*socket);
            if ((events[static_cast<std::size_t>(i)].events & EPOLLIN) != 0)
                receive(*socket);
        }
        runTimers();
    }
}

bool ProbeHub::Impl::takeCommands() {
    {
        std::lock_guard lock(mutex);
        taken.swap(pending);
        commandsWaiting.store(false, std::memory_order_relaxed);
    }
    for (auto& [run, command] : taken) {
        if (auto* start = std::get_if<StartCommand>(&command)) {
            startHost(run, std::move(start->run));
        } else if (auto* stop = std::get_if<StopCommand>(&command)) {
            if (stop->afterRequestUnderWay)
                stopAfterRequest(run);
            else
                stopHost(run);
        } else if (std::holds_alternative<QuitCommand>(command)) {
            taken.clear();
            return false;
        } else if (auto found = hosts.find(run); found != hosts.end()) {
            Host& host = *found->second;
            // The request under way still counts under the figures and log it was sent with.
            if (std::holds_alternative<ResetCommand>(command)) {
                if (host.waiting())
                    host.resetAfterRequest = true;
                else
                    host.run.resetFigures();
            } else if (std::holds_alternative<LoggingOffCommand>(command)) {
                if (host.waiting())
                    host.loggingOffAfterRequest = true;
                else
                    host.run.loggingOff();
            }
        }
    }
    taken.clear();
    return true;
}

void ProbeHub::Impl::startHost(RunId id, RunSettings settings) {
    auto& slot = hosts[id];
    if (slot)
        releaseHost(*slot); // a start during a run begins a fresh one
    else
        slot = std::make_unique<Host>(id, *this);
    Host& host = *slot;
    host.resetAfterRequest = host.loggingOffAfterRequest = host.stopAfterRequest = false;
    host.sent = 0;
    host.run.prepare(std::move(settings));
    const RunSettings& run = host.run.settings();
    host.socket = acquireSocket(run.targetAddress.family, run.source);
    if (host.socket == nullptr) {
        host.run.failedToStart();
        hosts.erase(id);
        return;
    }
    host.run.started();
    host.generation = ++generations;
    schedule(host, monoNanos() + static_cast<std::int64_t>(run.startDelayMs) * 1'000'000);
}

void ProbeHub::Impl::stopHost(RunId id) {
    const auto found = hosts.find(id);
    if (found == hosts.end()) {
        face.runEnded(id, RunEnd::Stopped); // answered all the same
        return;
    }
    releaseHost(*found->second);
    found->second->run.finish(true);
    hosts.erase(found);
}

// A stop that lets the request under way come back and count first, as a run of its own ends between probes;
// a host in its pause ends at once.
void ProbeHub::Impl::stopAfterRequest(RunId id) {
    const auto found = hosts.find(id);
    if (found == hosts.end() || !found->second->waiting())
        return stopHost(id);
    found->second->stopAfterRequest = true;
}

// The host's request is abandoned, its timers go stale and its socket is given back; observers hear that
// the run ended.
void ProbeHub::Impl::releaseHost(Host& host) {
    for (const Request& request : host.requests) {
        if (bySequence[request.sequence] == &host)
            bySequence[request.sequence] = nullptr;
        if (host.socket != nullptr)
            --host.socket->outstanding;
    }
    host.requests.clear();
    host.generation = ++generations;
    releaseSocket(host.socket);
    host.socket = nullptr;
    host.run.finish(false);
}

void ProbeHub::Impl::shutDown() {
    for (auto& [id, host] : hosts)
        releaseHost(*host);
    hosts.clear();
    ::close(epollFd);
    epollFd = -1;
}

ProbeHub::Impl::Socket* ProbeHub::Impl::acquireSocket(Family family, const std::string& source) {
    for (const auto& socket : sockets) {
        if (socket->family == family && socket->source == source) {
            ++socket->users;
            return socket.get();
        }
    }
    auto socket = std::make_unique<Socket>();
    socket->handle = opener(family, source);
    if (!socket->handle)
        return nullptr;
    socket->kind = socket->handle->kind();
    socket->family = family;
    socket->source = source;
    socket->id = socket->handle->identifier();
    socket->users = 1;
    sockets.push_back(std::move(socket));
    return sockets.back().get();
}

void ProbeHub::Impl::releaseSocket(Socket* socket) {
    if (socket == nullptr || --socket->users > 0)
        return;
    watch(*socket, false);
    std::erase_if(sockets, [socket](const auto& s) { return s.get() == socket; });
}

// A socket is waited on once a request on it is not answered at once; only a lone host whose replies are in by
// the time its send returns (a near peer) leaves it out, which spares every arriving packet the wake-up of an
// epoll set nobody waits on. What comes while it is out (a stray, an error) is read with the next request.
void ProbeHub::Impl::watch(Socket& socket, bool on) {
    if (socket.watched == on)
        return;
    epoll_event event{};
    event.events = EPOLLIN; // EPOLLERR comes unasked
    event.data.ptr = &socket;
    // A socket that cannot be waited on is still read before each of its requests is called lost.
    if (epoll_ctl(epollFd, on ? EPOLL_CTL_ADD : EPOLL_CTL_DEL, socket.handle->pollFd(), &event) == 0 || !on)
        socket.watched = on;
}

void ProbeHub::Impl::schedule(Host& host, std::int64_t dueNs) {
    timers.push_back(Timer{dueNs, host.run.id(), host.generation});
    std::push_heap(timers.begin(), timers.end());
}

bool ProbeHub::Impl::live(const Timer& timer) const {
    const auto found = hosts.find(timer.run);
    if (found == hosts.end())
        return false;
    const Host& host = *found->second;
    if (!timer.deadline)
        return host.generation == timer.generation;
    const Request* request = host.request(timer.sequence);
    return request != nullptr && request->deadlineNs == timer.dueNs;
}

void ProbeHub::Impl::runTimers() {
    std::int64_t now = monoNanos();
    int sends = 0;
    while (!timers.empty()) {
        const Timer timer = timers.front();
        if (timer.dueNs > now + kSendSlackNs)
            return;
        if (!live(timer)) {
            std::pop_heap(timers.begin(), timers.end());
            timers.pop_back();
            continue;
        }
        Host& host = *hosts.find(timer.run)->second;
        if (timer.deadline && timer.dueNs > now) {
            // Only sends may go early; a wait lasts its full timeout. The rest of the heap is later still.
            now = monoNanos();
            if (timer.dueNs > now)
                return;
        }
        std::pop_heap(timers.begin(), timers.end());
        timers.pop_back();
        if (timer.deadline) {
            timeOut(host, timer.sequence);
        } else if (host.stopAfterRequest) {
            // On a cadence, the turn of the next request may come before the last one under way is in.
            if (!host.waiting())
                stopHost(timer.run);
        } else if (const std::uint64_t count = host.run.settings().count; count == 0 || host.sent < count) {
            if (commandsWaiting.load(std::memory_order_relaxed)) {
                timers.push_back(timer); // its turn comes again once the commands are taken
                std::push_heap(timers.begin(), timers.end());
                return;
            }
            send(host, timer.dueNs);
            if (++sends % kSendsBetweenReads == 0)
                for (const auto& socket : sockets)
                    receive(*socket);
        }
    }
}

// A reply that came before the deadline counts even when this thread reads it only now (it was busy, or the
// wake-up for the timer came first): the host's socket is read before the request is called lost.
void ProbeHub::Impl::timeOut(Host& host, std::uint16_t sequence) {
    receive(*host.socket);
    if (host.socket->kind == Kind::Datagram)
        drainErrors(*host.socket);
    if (host.request(sequence) == nullptr)
        return;
    EchoResult timedOut;
    timedOut.status = IpStatus::RequestTimedOut;
    answer(host, sequence, timedOut);
}

std::span<const std::uint8_t> ProbeHub::Impl::payload(std::uint16_t size) {
    if (fill.size() < size)
        fill.assign(size, kPayloadByte);
    return std::span<const std::uint8_t>(fill).first(size);
}

void ProbeHub::Impl::send(Host& host, std::int64_t dueNs) {
    const RunSettings& run = host.run.settings();
    Socket& socket = *host.socket;
    ++host.sent;
    if (run.pacing == RunSettings::Pacing::FromSend && (run.count == 0 || host.sent < run.count)) {
        // The next turn keeps to the cadence; a thread held up past it sends once, not a burst.
        const std::int64_t interval = static_cast<std::int64_t>(std::max(run.intervalMs, 0)) * 1'000'000;
        const std::int64_t now = monoNanos();
        schedule(host, dueNs + interval > now ? dueNs + interval : now + interval);
    }
    Request request;
    request.sentUnixMs = HostRun::unixMillisNow();
    request.number = host.sent;
    const auto fail = [&](std::int32_t status) {
        EchoResult result;
        result.status = status;
        complete(host, request, result);
    };
    // IPv6 could carry a little more, but one Buffer setting means the same on either family.
    if (run.payloadSize > kMaxEchoPayload)
        return fail(IpStatus::PacketTooBig);
    // A number nobody waits for; with fewer hosts than numbers one is always free.
    std::uint16_t sequence = ++nextSequence;
    for (std::size_t tried = 1; bySequence[sequence] != nullptr; ++tried) {
        if (tried == kSequences)
            return fail(IpStatus::GeneralFailure);
        sequence = ++nextSequence;
    }
    const std::span<const std::uint8_t> data = payload(run.payloadSize);
    if (socket.family == Family::V6)
        IcmpPacket::buildEchoRequestV6(packet, socket.id, sequence, data.data(), run.payloadSize);
    else
        IcmpPacket::buildEchoRequest(packet, socket.id, sequence, data.data(), run.payloadSize,
                                     socket.kind == Kind::Raw);
    bool retried = false;
    for (;;) {
        request.sentAt = IcmpSocket::now();
        const int error = socket.handle->send(packet, run.targetAddress, run.ttl, run.tos);
        if (error == 0)
            break;
        if (error == EINTR)
            continue;
        // An ICMP error queued for any request on this socket fails one send; it belongs to whoever it quotes.
        if (!retried) {
            retried = true;
            drainErrors(socket);
            continue;
        }
        return fail(IcmpSocket::localSendStatus(error));
    }
    request.sequence = sequence;
    request.deadlineNs = RoundTrip::nanos(request.sentAt) + static_cast<std::int64_t>(run.timeoutMs) * 1'000'000;
    host.requests.push_back(request);
    ++socket.outstanding;
    bySequence[sequence] = &host;
    // A lone host (the console probe, a single watched host) looks for its reply at once: from a near peer it
    // is already in, and the turn goes on with no wait for the socket and no deadline to keep.
    if (hosts.size() == 1) {
        receive(socket);
        if (socket.outstanding == 0) {
            watch(socket, false);
            return;
        }
    }
    watch(socket, true);
    if (host.request(sequence) != nullptr) {
        timers.push_back(Timer{request.deadlineNs, host.run.id(), host.generation, sequence, true});
        std::push_heap(timers.begin(), timers.end());
    }
}

void ProbeHub::Impl::answer(Host& host, std::uint16_t sequence, const EchoResult& result) {
    const auto found = std::find_if(host.requests.begin(), host.requests.end(),
                                    [sequence](const Request& r) { return r.sequence == sequence; });
    const Request request = *found;
    host.requests.erase(found);
    if (bySequence[sequence] == &host)
        bySequence[sequence] = nullptr;
    --host.socket->outstanding;
    complete(host, request, result);
}

void ProbeHub::Impl::complete(Host& host, const Request& request, const EchoResult& result) {
    host.run.record(request.sentUnixMs, result, request.number);
    if (host.resetAfterRequest)
        host.run.resetFigures();
    if (host.loggingOffAfterRequest)
        host.run.loggingOff();
    host.resetAfterRequest = host.loggingOffAfterRequest = false;
    if (host.stopAfterRequest) {
        // Ended from the timers: the caller may still be reading the socket this host holds.
        if (!host.waiting()) {
            host.generation = ++generations;
            schedule(host, monoNanos());
        }
        return;
    }
    // On a cadence the next turn is already set, from the last send.
    if (host.run.settings().pacing == RunSettings::Pacing::FromSend)
        return;
    // The next request after the run's pause, counted from this result as a run of its own counts it: a host
    // that timed out waits its timeout and then its interval.
    const std::int32_t interval = host.run.settings().intervalMs;
    schedule(host, monoNanos() + (interval > 0 ? static_cast<std::int64_t>(interval) * 1'000'000 : 0));
}

ProbeHub::Impl::Host* ProbeHub::Impl::waitingHost(const Socket& socket, std::uint16_t sequence) const {
    Host* host = bySequence[sequence];
    if (host == nullptr || host->socket != &socket || host->request(sequence) == nullptr)
        return nullptr;
    return host;
}

void ProbeHub::Impl::receive(Socket& socket) {
    for (int i = 0; i < kReceiveBatch; ++i) {
        HubSocket::Received incoming;
        const ssize_t length = socket.handle->receive(received, incoming);
        if (length < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK || IcmpSocket::isSocketFault(errno))
                return;
            drainErrors(socket); // a pending ICMP error failed the read
            continue;
        }
        const RoundTrip::Readings readings = IcmpSocket::readingsAfterReceive(timespec{});
        if (incoming.truncated)
            continue;
        const bool answered =
            handleMessage(socket, std::span<const std::uint8_t>(received.data(), static_cast<std::size_t>(length)),
                          incoming.from, incoming.control, readings);
        // The last answer this socket waited for has come: no read that finds nothing (strays are still read in
        // batches, since they do not answer anything).
        if (answered && socket.outstanding == 0)
            return;
    }
}

bool ProbeHub::Impl::handleMessage(Socket& socket, std::span<const std::uint8_t> bytes, const IpAddress& from,
                                   const IcmpSocket::Control& control, RoundTrip::Readings readings) {
    const bool v6 = socket.family == Family::V6;
    if (from.family != socket.family)
        return false;
    const std::optional<std::uint16_t> sequence = IcmpPacket::claimedSequence(bytes, v6, socket.kind == Kind::Raw);
    if (!sequence)
        return false;
    Host* host = waitingHost(socket, *sequence);
    if (host == nullptr)
        return false; // stray, late or someone else's
    const RunSettings& run = host->run.settings();
    IcmpPacket::EchoMatch match;
    if (v6) {
        const IcmpPacket::EchoRequestKeyV6 key{run.targetAddress.bytes, socket.id, *sequence};
        match = socket.kind == Kind::Raw ? IcmpPacket::matchRawMessageV6(bytes, from.v6Bytes(), key)
                                         : IcmpPacket::matchDatagramReplyV6(bytes, from.v6Bytes(), key);
        match.ttl = control.ttl;
    } else {
        const IcmpPacket::EchoRequestKey key{run.targetAddress.v4Value(), socket.id, *sequence};
        match = socket.kind == Kind::Raw ? IcmpPacket::matchRawPacket(bytes, key)
                                         : IcmpPacket::matchDatagramReply(bytes, from.v4Value(), control.ttl, key);
    }
    if (match.kind == IcmpPacket::EchoMatch::Kind::None)
        return false;
    readings.sentMono = RoundTrip::nanos(host->request(*sequence)->sentAt);
    readings.kernelReal = control.kernelReal;
    EchoResult result;
    result.status = match.status;
    result.answered = true;
    // A raw IPv4 socket reads the sender from the packet; every other path has it from the kernel.
    result.source = v6 ? from : IpAddress::v4(match.source);
    result.rttMs = RoundTrip::milliseconds(readings);
    result.dataSize = static_cast<std::uint16_t>(std::min<std::size_t>(match.data.size(), 0xffff));
    result.ttl = match.ttl;
    if (match.status == IpStatus::Success) {
        result.rttUs = RoundTrip::microseconds(readings);
        result.wrongData = IcmpPacket::compareEchoData(payload(run.payloadSize), match.data);
    }
    answer(*host, *sequence, result);
    return true;
}

void ProbeHub::Impl::drainErrors(Socket& socket) {
    const bool v6 = socket.family == Family::V6;
    for (;;) {
        std::uint8_t quoted[64];
        HubSocket::ReceivedError incoming;
        const ssize_t length = socket.handle->receiveError(quoted, incoming);
        if (length < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        // Only the datagram socket queues errors; a raw one reads them as messages quoting the request.
        if (socket.kind != Kind::Datagram || length < static_cast<ssize_t>(IcmpPacket::kHeaderSize))
            continue;
        const RoundTrip::Readings readings = IcmpSocket::readingsAfterReceive(timespec{});
        const std::span<const std::uint8_t> request(quoted, static_cast<std::size_t>(length));
        const auto sequence = static_cast<std::uint16_t>(quoted[6] << 8 | quoted[7]);
        Host* host = waitingHost(socket, sequence);
        // The quoted request must be ours and have gone to this host: an error about another address with a
        // waiting host's number is no verdict on that host.
        if (host == nullptr ||
            !(v6 ? IcmpPacket::quotesRequestV6(request, sequence) : IcmpPacket::quotesRequest(request, sequence)) ||
            !sameAddress(incoming.destination, host->run.settings().targetAddress))
            continue;
        if (!incoming.error)
            continue;
        const IcmpSocket::QueuedError& error = *incoming.error;
        RoundTrip::Readings timed = readings;
        timed.sentMono = RoundTrip::nanos(host->request(sequence)->sentAt);
        EchoResult result;
        result.status = error.status;
        result.answered = true;
        result.source = error.offender;
        // An error is timed when it is read; its arrival stamp is not worth a second guard.
        result.rttMs = RoundTrip::milliseconds(timed);
        result.ttl = error.ttl;
        answer(*host, sequence, result);
    }
}
