#include "support/KernelHub.h"

#include <algorithm>

#include <arpa/inet.h>

#include "engine/KernelHubSocket.h"
#include "support/NetNamespace.h"
#include "types/IpStatus.h"

KernelHub::KernelHub(IcmpSocket::Preference sockets, const NetNamespace* ns) {
    std::optional<NetNamespace::Entered> inside;
    if (ns != nullptr) {
        inside.emplace(*ns);
        if (!inside->ok())
            return;
    }
    HubSocket::Opener opener = [this, sockets](IpAddress::Family family, const std::string& source) {
        std::unique_ptr<HubSocket> socket = KernelHubSocket::open(family, source, sockets);
        std::lock_guard lock(mutex_);
        kinds_.push_back(socket ? socket->kind() : IcmpSocket::Kind::None);
        return socket;
    };
    hub_ = std::make_unique<ProbeHub>(*this, nullptr, std::move(opener));
    hub_->start(); // the thread is made here, in the namespace and with this thread's capabilities
}

KernelHub::~KernelHub() {
    hub_.reset();
}

RunSettings KernelHub::host(const std::string& text) {
    RunSettings run;
    run.targetAddress = address(text);
    run.alerts.host = text;
    run.intervalMs = 0;
    run.timeoutMs = 2000;
    return run;
}

IpAddress KernelHub::address(const std::string& text) {
    in_addr v4{};
    if (inet_pton(AF_INET, text.c_str(), &v4) == 1)
        return IpAddress::v4(v4.s_addr);
    return IpAddress::parseV6(text).value_or(IpAddress{});
}

std::vector<ProbeEvent> KernelHub::probe(RunSettings settings, std::uint64_t count,
                                         const std::function<void(const ProbeEvent&)>& afterEach) {
    const RunId run = nextRun_++;
    settings.count = count;
    hub_->startRun(run, settings);
    for (std::size_t i = 0; i < count; ++i) {
        const auto deadline = std::chrono::steady_clock::now() + kPatience;
        std::unique_lock lock(mutex_);
        const bool arrived = changed_.wait_until(lock, deadline, [&] {
            std::size_t seen = 0;
            for (const ProbeEvent& e : probes_)
                seen += e.run == run ? 1 : 0;
            const bool ended = std::any_of(ends_.begin(), ends_.end(), [run](const auto& e) { return e.first == run; });
            return seen > i || ended;
        });
        lock.unlock();
        const std::vector<ProbeEvent> sofar = probesOf(run);
        if (!arrived || sofar.size() <= i)
            break;
        if (afterEach)
            afterEach(sofar[i]);
    }
    hub_->stopRun(run);
    (void)waitForEnd(run, kPatience);
    return probesOf(run);
}

ProbeEvent KernelHub::probeOnce(const RunSettings& settings) {
    const std::vector<ProbeEvent> probes = probe(settings, 1);
    if (!probes.empty())
        return probes.front();
    ProbeEvent none;
    none.status = static_cast<std::uint32_t>(IpStatus::GeneralFailure);
    return none;
}

std::optional<RunEnd> KernelHub::startAndSeeEnd(const RunSettings& settings, std::chrono::milliseconds wait) {
    const RunId run = nextRun_++;
    hub_->startRun(run, settings);
    const bool ended = waitForEnd(run, wait);
    std::optional<RunEnd> end;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [id, how] : ends_)
            if (id == run)
                end = how;
    }
    if (!ended) {
        hub_->stopRun(run);
        (void)waitForEnd(run, kPatience);
        return std::nullopt;
    }
    return end;
}

std::vector<IcmpSocket::Kind> KernelHub::openedKinds() const {
    std::lock_guard lock(mutex_);
    return kinds_;
}

void KernelHub::startRun(RunId run, const RunSettings& settings) {
    hub_->startRun(run, settings);
}

void KernelHub::stopRun(RunId run) {
    hub_->stopRun(run);
    (void)waitForEnd(run, kPatience);
}

std::vector<ProbeEvent> KernelHub::probesOf(RunId run) const {
    std::lock_guard lock(mutex_);
    std::vector<ProbeEvent> found;
    for (const ProbeEvent& e : probes_)
        if (e.run == run)
            found.push_back(e);
    return found;
}

bool KernelHub::waitForProbes(RunId run, std::size_t count) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kPatience, [&] {
        return static_cast<std::size_t>(std::count_if(probes_.begin(), probes_.end(),
                                                      [run](const ProbeEvent& e) { return e.run == run; })) >= count;
    });
}

void KernelHub::probed(const ProbeEvent& event) {
    {
        std::lock_guard lock(mutex_);
        probes_.push_back(event);
    }
    changed_.notify_all();
}

void KernelHub::runEnded(RunId run, RunEnd end) {
    {
        std::lock_guard lock(mutex_);
        ends_.emplace_back(run, end);
    }
    changed_.notify_all();
}

bool KernelHub::waitForEnd(RunId run, std::chrono::milliseconds wait) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, wait, [&] {
        return std::any_of(ends_.begin(), ends_.end(), [run](const auto& e) { return e.first == run; });
    });
}
