#include "support/ScriptedEchoChannel.h"

#include <arpa/inet.h>

#include <utility>

void ScriptedEchoChannel::push(const EchoOutcome& outcome) {
    {
        std::lock_guard lock(mutex_);
        script_.push_back(outcome);
    }
    changed_.notify_all();
}

void ScriptedEchoChannel::push(std::initializer_list<EchoOutcome> outcomes) {
    {
        std::lock_guard lock(mutex_);
        script_.insert(script_.end(), outcomes.begin(), outcomes.end());
    }
    changed_.notify_all();
}

void ScriptedEchoChannel::setFallback(const EchoOutcome& outcome) {
    {
        std::lock_guard lock(mutex_);
        fallback_ = outcome;
    }
    changed_.notify_all();
}

void ScriptedEchoChannel::clearFallback() {
    std::lock_guard lock(mutex_);
    fallback_.reset();
}

void ScriptedEchoChannel::whenDrained(std::function<void()> action) {
    std::lock_guard lock(mutex_);
    onDrained_ = std::move(action);
}

void ScriptedEchoChannel::failOpens(std::size_t count) {
    std::lock_guard lock(mutex_);
    failOpens_ = count;
}

bool ScriptedEchoChannel::waitUntilStarved(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] { return starved_ && script_.empty(); });
}

bool ScriptedEchoChannel::waitForSends(std::size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return sends_ >= count; });
}

std::size_t ScriptedEchoChannel::sends() const {
    std::lock_guard lock(mutex_);
    return sends_;
}

std::size_t ScriptedEchoChannel::opens() const {
    std::lock_guard lock(mutex_);
    return opens_;
}

std::size_t ScriptedEchoChannel::failedOpens() const {
    std::lock_guard lock(mutex_);
    return failedOpens_;
}

std::size_t ScriptedEchoChannel::closes() const {
    std::lock_guard lock(mutex_);
    return closes_;
}

bool ScriptedEchoChannel::isOpen() const {
    std::lock_guard lock(mutex_);
    return open_;
}

bool ScriptedEchoChannel::openedWhileOpen() const {
    std::lock_guard lock(mutex_);
    return openedWhileOpen_;
}

bool ScriptedEchoChannel::sentWhileClosed() const {
    std::lock_guard lock(mutex_);
    return sentWhileClosed_;
}

std::optional<SentEcho> ScriptedEchoChannel::lastRequest() const {
    std::lock_guard lock(mutex_);
    return lastRequest_;
}

bool ScriptedEchoChannel::open(IpAddress::Family family, const std::string& source) {
    std::lock_guard lock(mutex_);
    if (failOpens_ > 0) {
        --failOpens_;
        ++failedOpens_;
        return false;
    }
    openedWhileOpen_ = openedWhileOpen_ || open_;
    open_ = true;
    openFamily_ = family;
    openSource_ = source;
    ++opens_;
    return true;
}

EchoResult ScriptedEchoChannel::sendEcho(const EchoRequest& request) {
    std::unique_lock lock(mutex_);
    sentWhileClosed_ = sentWhileClosed_ || !open_;
    SentEcho sent;
    sent.destination = request.destination;
    sent.size = static_cast<std::uint16_t>(request.payload.size());
    sent.dataWasNull = request.payload.data() == nullptr;
    sent.data.assign(request.payload.begin(), request.payload.end());
    sent.ttl = request.ttl;
    sent.timeoutMs = request.timeoutMs;
    lastRequest_ = std::move(sent);

    if (script_.empty() && !fallback_) {
        starved_ = true;
        changed_.notify_all();
        changed_.wait(lock, [this] { return !script_.empty() || fallback_; });
        starved_ = false;
    }
    const EchoOutcome outcome = script_.empty() ? *fallback_ : script_.front();
    std::function<void()> drained;
    if (!script_.empty()) {
        script_.pop_front();
        if (script_.empty())
            drained = std::exchange(onDrained_, nullptr);
    }
    ++sends_;
    changed_.notify_all();
    lock.unlock();
    if (drained)
        drained();

    EchoResult result;
    if (outcome.kind == EchoOutcome::Kind::Failure) {
        result.status = outcome.errorCode;
        return result;
    }
    const bool good = outcome.kind == EchoOutcome::Kind::Good;
    result.answered = true;
    result.status = good ? 0 : static_cast<std::int32_t>(outcome.status);
    result.source = outcome.address;
    result.rttMs = outcome.rtt;
    result.dataSize = good ? outcome.size : 0;
    result.ttl = outcome.ttl;
    result.wrongData = good ? outcome.wrongData : std::nullopt;
    return result;
}

IpAddress::Family ScriptedEchoChannel::openFamily() const {
    std::lock_guard lock(mutex_);
    return openFamily_;
}

std::string ScriptedEchoChannel::openSource() const {
    std::lock_guard lock(mutex_);
    return openSource_;
}

void ScriptedEchoChannel::close() {
    std::lock_guard lock(mutex_);
    if (open_)
        ++closes_;
    open_ = false;
}
