#include "support/ScriptedHubSocket.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <utility>

#include <sys/timerfd.h>
#include <unistd.h>

#include "engine/IcmpPacket.h"
#include "types/IpStatus.h"

namespace {

// Past the scripted round trip, so that the whole milliseconds the hub reads are the scripted ones.
constexpr std::int64_t kStampMarginNs = 20'000;

std::int64_t clockNanos(clockid_t clock) {
    timespec t{};
    clock_gettime(clock, &t);
    return static_cast<std::int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

int refusal(std::int32_t status) {
    switch (status) {
    case IpStatus::DestNetUnreachable:
        return ENETUNREACH;
    case IpStatus::DestHostUnreachable:
        return EHOSTUNREACH;
    case IpStatus::PacketTooBig:
        return EMSGSIZE;
    default:
        return ENOBUFS;
    }
}

std::string keyOf(const IpAddress& address) {
    return address.text();
}

} // namespace

struct ScriptedNetwork::State {
    mutable std::mutex mutex;
    std::condition_variable changed;
    std::deque<EchoOutcome> script;
    std::map<std::string, std::deque<EchoOutcome>> scriptFor;
    std::optional<EchoOutcome> fallback;
    std::map<std::string, EchoOutcome> fallbackFor;
    std::function<void()> onDrained;
    std::size_t failOpens = 0;
    std::size_t opens = 0;
    std::size_t failedOpens = 0;
    std::size_t openSockets = 0;
    std::size_t closes = 0;
    IpAddress::Family openFamily = IpAddress::Family::None;
    std::string openSource;
    std::vector<ScriptedSend> sends;
    bool starved = false;
    bool released = false;

    [[nodiscard]] bool scripted() const {
        return !script.empty() ||
               std::any_of(scriptFor.begin(), scriptFor.end(), [](const auto& entry) { return !entry.second.empty(); });
    }

    // The outcome of a request to `key`, waiting for one when nothing is scripted; sets `drained` when it took
    // the last scripted one.
    EchoOutcome take(std::unique_lock<std::mutex>& lock, const std::string& key, bool& drained) {
        const auto deadline = std::chrono::steady_clock::now() + kPatience;
        for (;;) {
            std::deque<EchoOutcome>* queue = nullptr;
            if (auto own = scriptFor.find(key); own != scriptFor.end() && !own->second.empty())
                queue = &own->second;
            else if (!script.empty())
                queue = &script;
            if (queue != nullptr) {
                EchoOutcome outcome = queue->front();
                queue->pop_front();
                drained = !scripted();
                return outcome;
            }
            if (auto own = fallbackFor.find(key); own != fallbackFor.end())
                return own->second;
            if (fallback)
                return *fallback;
            if (released)
                return EchoOutcome::failure();
            starved = true;
            changed.notify_all();
            if (changed.wait_until(lock, deadline) == std::cv_status::timeout) {
                starved = false;
                return EchoOutcome::failure();
            }
            starved = false;
        }
    }
};

// One socket of the scripted network: a timer descriptor stands for the socket, readable while an answer is due.
class ScriptedNetwork::Socket final : public HubSocket {
public:
    Socket(std::shared_ptr<State> state, IpAddress::Family family, std::string source)
        : state_(std::move(state)), family_(family), source_(std::move(source)),
          timer_(timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC)) {}
    ~Socket() override {
        if (timer_ >= 0)
            ::close(timer_);
        std::lock_guard lock(state_->mutex);
        --state_->openSockets;
        ++state_->closes;
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    [[nodiscard]] int pollFd() const override { return timer_; }
    [[nodiscard]] IcmpSocket::Kind kind() const override { return IcmpSocket::Kind::Datagram; }
    [[nodiscard]] std::uint16_t identifier() const override { return 0; }

    [[nodiscard]] int send(std::span<const std::uint8_t> packet, const IpAddress& to, std::uint8_t ttl,
                           std::uint8_t tos) override {
        const std::int64_t sentMono = clockNanos(CLOCK_MONOTONIC);
        const std::int64_t sentReal = clockNanos(CLOCK_REALTIME);
        if (packet.size() < IcmpPacket::kHeaderSize)
            return EINVAL;
        const auto sequence = static_cast<std::uint16_t>(packet[6] << 8 | packet[7]);
        // The hub tries a refused send once more; the retry meets the same refusal.
        if (refused_ && refused_->first == sequence) {
            const int error = refused_->second;
            refused_.reset();
            return error;
        }
        EchoOutcome outcome;
        std::function<void()> drainedAction;
        {
            std::unique_lock lock(state_->mutex);
            state_->sends.push_back(ScriptedSend{to, source_, ttl, sequence,
                                                 std::vector<std::uint8_t>(packet.begin() + 8, packet.end()), sentMono,
                                                 tos});
            state_->changed.notify_all();
            bool drained = false;
            outcome = state_->take(lock, keyOf(to), drained);
            if (drained && state_->onDrained)
                drainedAction = std::exchange(state_->onDrained, nullptr);
        }
        if (drainedAction)
            drainedAction();
        if (outcome.kind == EchoOutcome::Kind::Failure) {
            if (outcome.errorCode == IpStatus::RequestTimedOut)
                return 0; // it went out and nobody answers
            refused_.emplace(sequence, refusal(outcome.errorCode));
            return refused_->second;
        }
        const std::int64_t after = static_cast<std::int64_t>(outcome.rtt) * 1'000'000 + kStampMarginNs;
        Answer answer;
        answer.dueNs = sentMono + after;
        answer.stampReal = sentReal + after;
        answer.ttl = outcome.ttl;
        if (outcome.kind == EchoOutcome::Kind::Good) {
            answer.from = to;
            answer.bytes = reply(packet, outcome);
        } else {
            answer.isError = true;
            answer.from = to;
            answer.bytes.assign(packet.begin(),
                                packet.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(packet.size(), 64)));
            answer.error =
                IcmpSocket::QueuedError{static_cast<std::int32_t>(outcome.status), outcome.ttl, outcome.address};
        }
        for (std::uint8_t copy = 0; copy < std::max<std::uint8_t>(outcome.copies, 1); ++copy) {
            answers_.push_back(answer);
            answer.dueNs += 50'000;
            answer.stampReal += 50'000;
        }
        arm();
        return 0;
    }

    ssize_t receive(std::span<std::uint8_t> into, Received& received) override {
        const auto found = due(false);
        if (found == answers_.end()) {
            errno = EAGAIN;
            return -1;
        }
        const std::size_t length = std::min(into.size(), found->bytes.size());
        std::memcpy(into.data(), found->bytes.data(), length);
        received.from = found->from;
        received.control.ttl = found->ttl;
        received.control.kernelReal = found->stampReal;
        received.truncated = length < found->bytes.size();
        const auto size = static_cast<ssize_t>(found->bytes.size());
        answers_.erase(found);
        arm();
        return size;
    }

    ssize_t receiveError(std::span<std::uint8_t> quoted, ReceivedError& received) override {
        const auto found = due(true);
        if (found == answers_.end()) {
            errno = EAGAIN;
            return -1;
        }
        const std::size_t length = std::min(quoted.size(), found->bytes.size());
        std::memcpy(quoted.data(), found->bytes.data(), length);
        received.destination = found->from;
        received.error = found->error;
        answers_.erase(found);
        arm();
        return static_cast<ssize_t>(length);
    }

    [[nodiscard]] bool errorsPending(std::uint32_t) const override {
        const std::int64_t now = clockNanos(CLOCK_MONOTONIC);
        return std::any_of(answers_.begin(), answers_.end(),
                           [now](const Answer& a) { return a.isError && a.dueNs <= now; });
    }

private:
    struct Answer {
        std::int64_t dueNs = 0;
        std::int64_t stampReal = 0;
        bool isError = false;
        IpAddress from; // the replier, or where the quoted request went
        std::uint8_t ttl = 0;
        std::vector<std::uint8_t> bytes; // the reply's ICMP message, or the quoted request
        std::optional<IcmpSocket::QueuedError> error;
    };

    // The echo reply to `request` as a datagram socket hands it over: no IP header, the data as scripted.
    [[nodiscard]] std::vector<std::uint8_t> reply(std::span<const std::uint8_t> request,
                                                  const EchoOutcome& outcome) const {
        std::vector<std::uint8_t> bytes(request.begin(), request.end());
        bytes[0] = family_ == IpAddress::Family::V6 ? IcmpPacket::kV6EchoReply : IcmpPacket::kEchoReply;
        std::size_t size = outcome.size;
        if (outcome.wrongData)
            size = static_cast<std::size_t>(static_cast<std::int64_t>(request.size() - 8) +
                                            outcome.wrongData->sizeDifference);
        bytes.resize(8 + size, 0x20);
        if (outcome.wrongData && outcome.wrongData->bytesDiffer && 8 + outcome.wrongData->offset < bytes.size())
            bytes[8 + outcome.wrongData->offset] = outcome.wrongData->echoed;
        bytes[2] = bytes[3] = 0;
        const std::uint16_t sum = IcmpPacket::checksum(bytes);
        bytes[2] = static_cast<std::uint8_t>(sum >> 8);
        bytes[3] = static_cast<std::uint8_t>(sum);
        return bytes;
    }

    // The first answer of the kind asked for that is due, in the order they come due.
    std::vector<Answer>::iterator due(bool error) {
        std::uint64_t expirations = 0;
        (void)!read(timer_, &expirations, sizeof expirations);
        const std::int64_t now = clockNanos(CLOCK_MONOTONIC);
        auto found = answers_.end();
        for (auto a = answers_.begin(); a != answers_.end(); ++a)
            if (a->isError == error && a->dueNs <= now && (found == answers_.end() || a->dueNs < found->dueNs))
                found = a;
        if (found == answers_.end())
            arm();
        return found;
    }

    // The descriptor turns readable when the next answer is due (at once when one already is).
    void arm() {
        itimerspec when{};
        if (!answers_.empty()) {
            const auto next = std::min_element(answers_.begin(), answers_.end(),
                                               [](const Answer& a, const Answer& b) { return a.dueNs < b.dueNs; });
            const std::int64_t at = std::max<std::int64_t>(next->dueNs, 1);
            when.it_value.tv_sec = static_cast<time_t>(at / 1'000'000'000);
            when.it_value.tv_nsec = static_cast<long>(at % 1'000'000'000);
        }
        (void)timerfd_settime(timer_, TFD_TIMER_ABSTIME, &when, nullptr);
    }

    std::shared_ptr<State> state_;
    const IpAddress::Family family_;
    const std::string source_;
    const int timer_;
    std::vector<Answer> answers_;
    std::optional<std::pair<std::uint16_t, int>> refused_;
};

ScriptedNetwork::ScriptedNetwork() : state_(std::make_shared<State>()) {}

ScriptedNetwork::~ScriptedNetwork() {
    release();
}

void ScriptedNetwork::release() {
    {
        std::lock_guard lock(state_->mutex);
        state_->released = true;
    }
    state_->changed.notify_all();
}

std::size_t ScriptedNetwork::closes() const {
    std::lock_guard lock(state_->mutex);
    return state_->closes;
}

std::optional<ScriptedSend> ScriptedNetwork::lastRequest() const {
    std::lock_guard lock(state_->mutex);
    if (state_->sends.empty())
        return std::nullopt;
    return state_->sends.back();
}

HubSocket::Opener ScriptedNetwork::opener() {
    return [state = state_](IpAddress::Family family, const std::string& source) -> std::unique_ptr<HubSocket> {
        std::lock_guard lock(state->mutex);
        if (state->failOpens > 0) {
            --state->failOpens;
            ++state->failedOpens;
            return nullptr;
        }
        ++state->opens;
        ++state->openSockets;
        state->openFamily = family;
        state->openSource = source;
        return std::make_unique<Socket>(state, family, source);
    };
}

void ScriptedNetwork::push(const EchoOutcome& outcome) {
    push({outcome});
}

void ScriptedNetwork::push(std::initializer_list<EchoOutcome> outcomes) {
    push(std::vector<EchoOutcome>(outcomes));
}

void ScriptedNetwork::push(const std::vector<EchoOutcome>& outcomes) {
    {
        std::lock_guard lock(state_->mutex);
        state_->script.insert(state_->script.end(), outcomes.begin(), outcomes.end());
        state_->starved = false;
    }
    state_->changed.notify_all();
}

void ScriptedNetwork::push(const IpAddress& destination, const EchoOutcome& outcome) {
    {
        std::lock_guard lock(state_->mutex);
        state_->scriptFor[keyOf(destination)].push_back(outcome);
        state_->starved = false;
    }
    state_->changed.notify_all();
}

void ScriptedNetwork::setFallback(const EchoOutcome& outcome) {
    {
        std::lock_guard lock(state_->mutex);
        state_->fallback = outcome;
    }
    state_->changed.notify_all();
}

void ScriptedNetwork::setFallback(const IpAddress& destination, const EchoOutcome& outcome) {
    {
        std::lock_guard lock(state_->mutex);
        state_->fallbackFor.insert_or_assign(keyOf(destination), outcome);
    }
    state_->changed.notify_all();
}

void ScriptedNetwork::clearFallback() {
    std::lock_guard lock(state_->mutex);
    state_->fallback.reset();
    state_->fallbackFor.clear();
}

void ScriptedNetwork::whenDrained(std::function<void()> action) {
    std::lock_guard lock(state_->mutex);
    state_->onDrained = std::move(action);
}

void ScriptedNetwork::failOpens(std::size_t count) {
    std::lock_guard lock(state_->mutex);
    state_->failOpens = count;
}

bool ScriptedNetwork::waitUntilStarved(std::chrono::milliseconds timeout) {
    std::unique_lock lock(state_->mutex);
    return state_->changed.wait_for(lock, timeout, [this] { return state_->starved; });
}

bool ScriptedNetwork::waitForSends(std::size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock lock(state_->mutex);
    return state_->changed.wait_for(lock, timeout, [&] { return state_->sends.size() >= count; });
}

std::vector<ScriptedSend> ScriptedNetwork::sends() const {
    std::lock_guard lock(state_->mutex);
    return state_->sends;
}

std::vector<ScriptedSend> ScriptedNetwork::sendsTo(const IpAddress& destination) const {
    std::vector<ScriptedSend> found;
    for (ScriptedSend& send : sends())
        if (send.destination == destination)
            found.push_back(std::move(send));
    return found;
}

std::size_t ScriptedNetwork::opens() const {
    std::lock_guard lock(state_->mutex);
    return state_->opens;
}

std::size_t ScriptedNetwork::failedOpens() const {
    std::lock_guard lock(state_->mutex);
    return state_->failedOpens;
}

std::size_t ScriptedNetwork::openSockets() const {
    std::lock_guard lock(state_->mutex);
    return state_->openSockets;
}

IpAddress::Family ScriptedNetwork::openFamily() const {
    std::lock_guard lock(state_->mutex);
    return state_->openFamily;
}

std::string ScriptedNetwork::openSource() const {
    std::lock_guard lock(state_->mutex);
    return state_->openSource;
}
