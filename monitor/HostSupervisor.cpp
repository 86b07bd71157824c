#include "monitor/HostSupervisor.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "engine/EchoReply.h"
#include "monitor/HostFields.h"

HostStatus worstStatus(std::span<const WatchedHost> hosts) {
    HostStatus worst = HostStatus::NA;
    for (const WatchedHost& host : hosts)
        if (host.running && severity(host.status) > severity(worst))
            worst = host.status;
    return worst;
}

HostSupervisor::HostSupervisor(Services services) : services_(std::move(services)), inbox_(std::make_shared<Inbox>()) {
    inbox_->owner = this;
    runner_ = services_.makeRunner(*this);
}

HostSupervisor::~HostSupervisor() {
    runtimes_.clear();       // lookups still out are dropped
    runner_.reset();         // ends every run and joins the runner's thread: no report comes after this
    inbox_->owner = nullptr; // and a drain already posted finds nobody
}

void HostSupervisor::addListener(Listener& listener) {
    listeners_.push_back(&listener);
}

void HostSupervisor::removeListener(Listener& listener) {
    std::erase(listeners_, &listener);
}

template <typename F> void HostSupervisor::tell(F&& call) {
    // A copy: a listener may come or go during the call.
    const std::vector<Listener*> listeners = listeners_;
    for (Listener* listener : listeners)
        call(*listener);
}

std::int64_t HostSupervisor::now() const {
    if (services_.nowMs)
        return services_.nowMs();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

void HostSupervisor::reindex() {
    index_.clear();
    for (std::size_t i = 0; i < hosts_.size(); ++i) {
        index_[hosts_[i].id] = i;
        hosts_[i].main = i == 0;
    }
}

WatchedHost* HostSupervisor::findHost(RunId id) {
    const auto it = index_.find(id);
    return it == index_.end() ? nullptr : &hosts_[it->second];
}

const WatchedHost* HostSupervisor::find(RunId id) const {
    const auto it = index_.find(id);
    return it == index_.end() ? nullptr : &hosts_[it->second];
}

HostSupervisor::Runtime& HostSupervisor::runtimeOf(RunId id) {
    return runtimes_[id];
}

void HostSupervisor::statusesMayHaveChanged() {
    if (drainDepth_ > 0) {
        statusesDirty_ = true;
        return;
    }
    tell([](Listener& l) { l.statusesChanged(); });
}

// --- The runner's face: on the runner's thread, never waiting for the owner.

void HostSupervisor::probed(const ProbeEvent& event) {
    deliver({Report::Kind::Probe, event, event.run, RunEnd::Stopped});
}

void HostSupervisor::postLog(const ProbeEvent& event) {
    deliver({Report::Kind::Log, event, event.run, RunEnd::Stopped});
}

void HostSupervisor::runEnded(RunId run, RunEnd end) {
    deliver({Report::Kind::Ended, {}, run, end});
}

void HostSupervisor::deliver(Report report) {
    bool first = false;
    {
        std::lock_guard lock(inbox_->mutex);
        inbox_->reports.push_back(std::move(report));
        first = !std::exchange(inbox_->drainPosted, true);
    }
    if (first)
        services_.post([inbox = inbox_] {
            if (HostSupervisor* owner = inbox->owner)
                owner->drain();
        });
}

// --- On the owner's thread.

void HostSupervisor::drain() {
    {
        std::lock_guard lock(inbox_->mutex);
        inbox_->drainPosted = false;
        if (batch_.empty()) {
            batch_.swap(inbox_->reports);
        } else {
            std::move(inbox_->reports.begin(), inbox_->reports.end(), std::back_inserter(batch_));
            inbox_->reports.clear();
        }
    }
    ++drainDepth_;
    while (nextReport_ < batch_.size()) {
        Report report = std::move(batch_[nextReport_++]);
        handle(report);
    }
    if (--drainDepth_ == 0) {
        batch_.clear();
        nextReport_ = 0;
    }
    if (std::exchange(statusesDirty_, false))
        tell([](Listener& l) { l.statusesChanged(); });
}

void HostSupervisor::handle(Report& report) {
    switch (report.kind) {
    case Report::Kind::Probe:
        handleProbe(report.event);
        break;
    case Report::Kind::Log:
        if (const WatchedHost* host = findHost(report.run);
            host != nullptr && host->running && runtimeOf(report.run).stopsUnanswered == 0)
            tell([&](Listener& l) { l.logDue(*host, report.event); });
        break;
    case Report::Kind::Ended:
        handleEnded(report.run, report.end);
        break;
    }
}

void HostSupervisor::handleProbe(const ProbeEvent& event) {
    WatchedHost* host = findHost(event.run);
    if (host == nullptr || !host->running || runtimeOf(event.run).stopsUnanswered > 0)
        return; // the last probes of a run that has been stopped or removed
    runtimeOf(event.run).asked = false;
    const HostStatus before = host->status;
    if (event.statusChanged || host->status != event.hostStatus)
        host->statusSinceMs = event.unixMs;
    host->status = event.hostStatus;
    host->lastRttUs = event.good() ? event.rttUs : std::nullopt;
    host->stats = event.stats;
    host->last = event;
    host->recent.push({event.unixMs, host->lastRttUs});
    if (host->status != before)
        statusesDirty_ = true;
    tell([&](Listener& l) { l.probed(*host, event); });
}

void HostSupervisor::handleEnded(RunId id, RunEnd end) {
    WatchedHost* host = findHost(id);
    if (host == nullptr)
        return;
    Runtime& runtime = runtimeOf(id);
    if (runtime.stopsUnanswered > 0) {
        // Ours: the answer to a stop, or the failed start of a run stopped since.
        if (end == RunEnd::Stopped && --runtime.stopsUnanswered == 0 && !host->busy())
            tell([&](Listener& l) { l.runEnded(*host); });
        return;
    }
    const bool asked = std::exchange(runtime.asked, false);
    markStopped(*host);
    if (WatchedHost* ended = findHost(id); ended != nullptr && end == RunEnd::ChannelFailed)
        tell([&](Listener& l) { l.startFailed(*ended, StartFailure::ChannelFailed, asked); });
    else if (ended != nullptr)
        tell([&](Listener& l) { l.runEnded(*ended); });
}

RunId HostSupervisor::append(const Settings& settings) {
    WatchedHost host;
    host.id = nextId_++;
    host.settings = settings;
    hosts_.push_back(std::move(host));
    reindex();
    return hosts_.back().id;
}

RunId HostSupervisor::add(const Settings& settings, bool run) {
    if (settings.host.empty())
        return 0;
    const RunId id = append(settings);
    tell([](Listener& l) { l.listChanged(); });
    if (run)
        start(id, false);
    return id;
}

RunId HostSupervisor::addMain(const Settings& settings) {
    WatchedHost host;
    host.id = nextId_++;
    host.settings = settings;
    hosts_.insert(hosts_.begin(), std::move(host));
    reindex();
    tell([](Listener& l) { l.listChanged(); });
    return hosts_.front().id;
}

bool HostSupervisor::edit(RunId id, const Settings& settings) {
    WatchedHost* host = findHost(id);
    if (host == nullptr || (settings.host.empty() && !host->main))
        return false;
    const bool wasBusy = host->busy();
    host->settings = settings;
    tell([](Listener& l) { l.listChanged(); });
    if (wasBusy)
        restart(id, true);
    return true;
}

bool HostSupervisor::remove(RunId id) {
    WatchedHost* host = findHost(id);
    if (host == nullptr)
        return false;
    const bool wasRunning = host->running;
    if (wasRunning)
        runner_->stopRun(id); // its answer and late reports find no host
    runtimes_.erase(id);      // a lookup still out is dropped
    hosts_.erase(hosts_.begin() + static_cast<std::ptrdiff_t>(index_.at(id)));
    reindex();
    tell([](Listener& l) { l.listChanged(); });
    if (wasRunning)
        statusesMayHaveChanged();
    return true;
}

void HostSupervisor::start(RunId id, bool asked) {
    WatchedHost* host = findHost(id);
    if (host == nullptr || host->busy())
        return;
    Runtime& runtime = runtimeOf(id);
    runtime.asked = asked;
    if (host->settings.host.empty()) {
        runtime.asked = false;
        tell([&](Listener& l) { l.startFailed(*host, StartFailure::NotFound, asked); });
        return;
    }
    if (!runtime.lookup)
        runtime.lookup = std::make_unique<HostLookup>(services_.resolver, services_.post);
    host->resolving = true;
    runtime.lookup->find(host->settings.host, host->settings.resolveIp,
                         [this, id](const LookupAnswer& answer) { launch(id, answer); });
    // Answered at once for a literal address; else the host shows as waiting for its name.
    if (const WatchedHost* waiting = findHost(id); waiting != nullptr && waiting->resolving)
        tell([id](Listener& l) { l.hostChanged(id); });
}

void HostSupervisor::launch(RunId id, const LookupAnswer& answer) {
    WatchedHost* host = findHost(id);
    if (host == nullptr || !host->resolving)
        return;
    host->resolving = false;
    if (!answer.found()) {
        const bool asked = std::exchange(runtimeOf(id).asked, false);
        markStopped(*host);
        if (WatchedHost* failed = findHost(id))
            tell([&](Listener& l) { l.startFailed(*failed, StartFailure::NotFound, asked); });
        return;
    }
    Settings sent = HostFields::merged(program_, host->settings);
    // Whatever the settings say, no run sends more than a request can carry.
    sent.buffer = std::min(sent.buffer, kMaxEchoPayload);
    if (services_.beforeRun)
        services_.beforeRun();
    host->running = true;
    host->target = answer.address;
    host->address = answer.addressText;
    host->officialName = answer.officialName;
    host->status = HostStatus::NA;
    host->statusSinceMs = now();
    host->lastRttUs.reset();
    host->stats = {};
    host->last.reset();
    host->recent.clear();
    RunSettings run = RunSettings::from(sent, answer.address);
    if (services_.tuneRun)
        services_.tuneRun(id, run);
    runner_->startRun(id, std::move(run));
    tell([&](Listener& l) { l.started(*host); });
    if (findHost(id) != nullptr)
        tell([id](Listener& l) { l.hostChanged(id); });
    statusesMayHaveChanged();
}

void HostSupervisor::markStopped(WatchedHost& host) {
    host.running = false;
    host.resolving = false;
    host.status = HostStatus::NA;
    host.statusSinceMs = now();
    tell([id = host.id](Listener& l) { l.hostChanged(id); });
    statusesMayHaveChanged();
}

void HostSupervisor::stop(RunId id) {
    WatchedHost* host = findHost(id);
    if (host == nullptr)
        return;
    Runtime& runtime = runtimeOf(id);
    runtime.asked = false;
    if (runtime.lookup)
        runtime.lookup->cancel();
    if (host->running) {
        runner_->stopRun(id);
        ++runtime.stopsUnanswered;
        markStopped(*host);
    } else if (host->resolving) {
        markStopped(*host);
        // No run began, so nothing is to come: the stop is answered here.
        if (WatchedHost* stopped = findHost(id))
            tell([&](Listener& l) { l.runEnded(*stopped); });
    }
}

void HostSupervisor::restart(RunId id, bool asked) {
    // Stopped first, so that what the old run still reports until the stop's answer is told apart from the new
    // run's probes.
    stop(id);
    start(id, asked);
}

void HostSupervisor::reset(RunId id) {
    if (const WatchedHost* host = findHost(id); host != nullptr && host->running)
        runner_->resetRun(id);
}

void HostSupervisor::loggingOff(RunId id) {
    WatchedHost* host = findHost(id);
    if (host == nullptr)
        return;
    host->settings.logLevel = LogLevel::Off; // and so it stays for the next runs
    if (host->running)
        runner_->loggingOff(id);
}

void HostSupervisor::startAll() {
    std::vector<RunId> ids;
    for (const WatchedHost& host : hosts_)
        if (!host.busy())
            ids.push_back(host.id);
    for (RunId id : ids)
        start(id, false);
}

void HostSupervisor::stopAll() {
    std::vector<RunId> ids;
    for (const WatchedHost& host : hosts_)
        ids.push_back(host.id);
    for (RunId id : ids)
        stop(id);
}

bool HostSupervisor::makeMain(RunId id) {
    const auto it = index_.find(id);
    if (it == index_.end())
        return false;
    if (it->second != 0) {
        std::swap(hosts_.front(), hosts_[it->second]);
        reindex();
        tell([](Listener& l) { l.listChanged(); });
    }
    return true;
}

void HostSupervisor::apply(const std::vector<Entry>& entries) {
    enum class Step : std::uint8_t { Keep, Start, Stop, Restart };
    std::vector<std::pair<RunId, Step>> steps;
    std::vector<bool> taken(hosts_.size(), false);
    std::vector<WatchedHost> next;
    next.reserve(entries.size());
    const auto match = [&](const Entry& entry) -> std::optional<std::size_t> {
        if (entry.id != 0) {
            if (const auto byId = index_.find(entry.id); byId != index_.end() && !taken[byId->second])
                return byId->second;
            return std::nullopt;
        }
        for (std::size_t i = 0; i < hosts_.size(); ++i)
            if (!taken[i] && hosts_[i].settings.host == entry.settings.host)
                return i;
        return std::nullopt;
    };
    for (const Entry& entry : entries) {
        if (entry.settings.host.empty())
            continue; // nothing to watch
        const std::optional<std::size_t> found = match(entry);
        if (!found) {
            WatchedHost host;
            const bool ownId = entry.id != 0 && !index_.contains(entry.id) &&
                               std::none_of(next.begin(), next.end(), [&](const auto& h) { return h.id == entry.id; });
            host.id = ownId ? entry.id : nextId_++;
            nextId_ = std::max(nextId_, host.id + 1);
            host.settings = entry.settings;
            next.push_back(std::move(host));
            steps.emplace_back(next.back().id, entry.run ? Step::Start : Step::Keep);
            continue;
        }
        taken[*found] = true;
        WatchedHost& host = next.emplace_back(std::move(hosts_[*found]));
        const bool same = HostFields::same(host.settings, entry.settings);
        host.settings = entry.settings;
        Step step = Step::Keep;
        if (host.busy() && !entry.run)
            step = Step::Stop;
        else if (host.busy() && !same)
            step = Step::Restart;
        else if (!host.busy() && entry.run)
            step = Step::Start;
        steps.emplace_back(host.id, step);
    }
    bool stoppedAny = false;
    for (std::size_t i = 0; i < hosts_.size(); ++i) {
        if (taken[i])
            continue;
        if (hosts_[i].running) {
            runner_->stopRun(hosts_[i].id);
            stoppedAny = true;
        }
        runtimes_.erase(hosts_[i].id);
    }
    hosts_ = std::move(next);
    reindex();
    tell([](Listener& l) { l.listChanged(); });
    for (const auto& [id, step] : steps) {
        if (step == Step::Stop)
            stop(id);
        else if (step == Step::Restart)
            restart(id, false);
        else if (step == Step::Start)
            start(id, false);
    }
    if (stoppedAny)
        statusesMayHaveChanged();
}
