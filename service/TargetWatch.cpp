#include "service/TargetWatch.h"

#include <algorithm>
#include <set>

#include "metrics/Exposition.h"
#include "monitor/HostFields.h"

namespace {

// A name not found is tried again this soon, however long the resolve interval: a DNS server that was down
// at start should not leave a target unwatched for minutes.
constexpr std::chrono::milliseconds kRetryPeriod{30'000};

} // namespace

TargetWatch::TargetWatch(Services services, LogfmtLogger& log) : services_(std::move(services)), log_(log) {
    HostSupervisor::Services supervised;
    supervised.resolver = services_.resolver;
    supervised.post = services_.post;
    supervised.makeRunner = services_.makeRunner;
    supervised.tuneRun = [this](RunId id, RunSettings& run) { tuneRun(id, run); };
    supervisor_ = std::make_unique<HostSupervisor>(std::move(supervised));
    supervisor_->addListener(*this);
}

TargetWatch::~TargetWatch() {
    {
        const std::lock_guard lock(mutex_);
        for (auto& [id, target] : targets_)
            target.check.reset();
    }
    supervisor_.reset();
}

Settings TargetWatch::settingsOf(const TargetConfig& target) {
    Settings s;
    s.host = target.host;
    s.interval = target.intervalMs;
    s.buffer = target.payloadBytes;
    s.analysisMode = target.analysis.mode;
    s.tries = target.analysis.tries;
    s.minPercent = target.analysis.goodBelowPercent;
    s.maxPercent = target.analysis.badAbovePercent;
    s.minTime = target.analysis.goodBelowMs;
    s.maxTime = target.analysis.badAboveMs;
    s.logLevel = LogLevel::Off;
    s.notify = false;
    s.routeRounds = target.routeRounds;
    return s;
}

std::string TargetWatch::labelsText(const TargetConfig& target) {
    std::string text;
    const auto add = [&text](std::string_view name, std::string_view value) {
        text.append(",").append(name).append("=\"").append(escapeLabelValue(value)).append("\"");
    };
    if (!target.name.empty())
        add("target", target.name);
    for (const auto& [name, value] : target.labels)
        add(name, value);
    return text;
}

void TargetWatch::apply(const ServiceConfig& config) {
    std::vector<HostSupervisor::Entry> entries;
    entries.reserve(config.targets.size());
    std::map<std::string, RunId> ids;
    std::vector<RunId> changed; // kept targets whose request options changed, which the supervisor does not see
    {
        const std::lock_guard lock(mutex_);
        std::map<RunId, Target> targets;
        for (const TargetConfig& wanted : config.targets) {
            const auto known = ids_.find(wanted.key());
            const RunId id = known != ids_.end() ? known->second : nextId_++;
            ids.emplace(wanted.key(), id);
            Target& target = targets[id];
            if (const auto old = targets_.find(id); old != targets_.end()) {
                // The path watch follows the config on its own; its figures are no reason to start the run again.
                TargetConfig before = old->second.config;
                before.pathWatch = wanted.pathWatch;
                if (!(before == wanted) && HostFields::same(settingsOf(old->second.config), settingsOf(wanted)))
                    changed.push_back(id);
                target.check = std::move(old->second.check);
            }
            target.config = wanted;
            // Before the run starts: its first probe already asks for them.
            target.labels = labelsText(wanted);
            entries.push_back({id, settingsOf(wanted), true});
        }
        targets_.swap(targets);
        for (auto& [id, gone] : targets)
            if (!targets_.contains(id))
                gone.check.reset();
        // Errors of targets the file no longer names go with their series.
        std::set<std::string> labelled;
        for (const auto& [id, target] : targets_)
            labelled.insert(target.config.host + '\n' + target.labels);
        std::erase_if(resolveErrors_, [&](const auto& entry) { return !labelled.contains(entry.first); });
    }
    for (auto it = unresolved_.begin(); it != unresolved_.end();) {
        const auto next = std::next(it);
        if (const auto kept = targets_.find(it->first);
            kept == targets_.end() || kept->second.labels != it->second.second)
            showUnresolved(it->first, false); // gone, or shown under other labels from its next failure on
        it = next;
    }
    if (services_.networks) {
        std::map<std::string, IpAddress::Family> families;
        for (const TargetConfig& target : config.targets)
            if (target.family != IpAddress::Family::None)
                families.emplace(target.host, target.family);
        services_.networks->setFamilies(std::move(families));
    }
    ids_.swap(ids);
    std::erase_if(down_, [&](RunId id) { return !targets_.contains(id); });
    configured_ = config.targets.size();
    supervisor_->apply(entries);
    for (const RunId id : changed)
        if (const WatchedHost* host = supervisor_->find(id))
            (void)supervisor_->edit(id, host->settings); // starts it again with its new options
    countStates();

    resolveIntervalMs_ = config.resolveIntervalMs;
    const std::chrono::milliseconds period(std::min<std::uint32_t>(resolveIntervalMs_, kRetryPeriod.count()));
    if (period != timerPeriod_ && services_.setTimer) {
        timerPeriod_ = period;
        lastResolve_ = std::chrono::steady_clock::now();
        services_.setTimer(period, [this] { tick(); });
    }
}

void TargetWatch::tuneRun(RunId id, RunSettings& run) const {
    const std::lock_guard lock(mutex_);
    const auto found = targets_.find(id);
    if (found == targets_.end())
        return;
    const TargetConfig& config = found->second.config;
    // The desktop's settings keep the interval in whole seconds; a target may probe more often.
    run.intervalMs = config.intervalMs;
    run.payloadSize = static_cast<std::uint16_t>(config.payloadBytes);
    run.ttl = config.ttl;
    run.timeoutMs = config.timeoutMs;
    run.source = config.source;
    run.tos = config.tos;
    // Spread over the interval by the target's key, so that thousands of targets do not send in one burst at
    // start, and a target keeps its place from one start to the next.
    run.startDelayMs = static_cast<std::uint32_t>(std::hash<std::string>{}(config.key()) %
                                                  static_cast<std::size_t>(std::max(config.intervalMs, 1)));
}

void TargetWatch::resolveAgain() {
    lookAgain(true);
}

// The timer ticks at the resolve interval, or sooner while a name is not found: those are tried at every tick,
// the names of running targets once per interval.
void TargetWatch::tick() {
    const auto now = std::chrono::steady_clock::now();
    const bool due = now - lastResolve_ >= std::chrono::milliseconds(resolveIntervalMs_);
    if (due)
        lastResolve_ = now;
    lookAgain(due);
}

void TargetWatch::lookAgain(bool running) {
    std::vector<RunId> ids;
    for (const WatchedHost& host : supervisor_->hosts())
        ids.push_back(host.id);
    for (const RunId id : ids) {
        const WatchedHost* host = supervisor_->find(id);
        if (host == nullptr || host->resolving)
            continue;
        if (!host->running)
            supervisor_->start(id, false); // not found last time: tried again
        else if (running)
            checkAddress(id);
    }
}

// A running target's name is looked up on the side; only when it has moved does its run start again, at the
// new address, so a look-up that finds the same address costs the run nothing.
void TargetWatch::checkAddress(RunId id) {
    std::string host;
    {
        const std::lock_guard lock(mutex_);
        const auto found = targets_.find(id);
        if (found == targets_.end())
            return;
        host = found->second.config.host;
        if (!found->second.check)
            found->second.check = std::make_unique<HostLookup>(services_.resolver, services_.post);
    }
    if (HostLookup::parse(*services_.resolver, host).family != IpAddress::Family::None)
        return; // an address does not move
    HostLookup* lookup = nullptr;
    {
        const std::lock_guard lock(mutex_);
        lookup = targets_.at(id).check.get();
    }
    lookup->find(host, false, [this, id](const LookupAnswer& answer) {
        const WatchedHost* watched = supervisor_->find(id);
        if (watched == nullptr || !watched->running)
            return;
        TargetConfig config;
        {
            const std::lock_guard lock(mutex_);
            config = targets_.at(id).config;
        }
        if (!answer.found()) {
            countResolveError(id, config);
            return; // the run goes on at the address it has
        }
        if (answer.addressText == watched->address)
            return;
        say(LogSeverity::Info, "address changed", config, {{"from", watched->address}, {"to", answer.addressText}});
        (void)supervisor_->edit(id, watched->settings);
    });
}

void TargetWatch::countResolveError(RunId id, const TargetConfig& config) {
    {
        const std::lock_guard lock(mutex_);
        const auto found = targets_.find(id);
        if (found == targets_.end())
            return;
        ++resolveErrors_[config.host + '\n' + found->second.labels];
    }
    say(LogSeverity::Warn, "cannot resolve host", config, {});
}

void TargetWatch::showUnresolved(RunId id, bool unresolved) {
    if (services_.registry == nullptr)
        return;
    if (const auto shown = unresolved_.find(id); shown != unresolved_.end() && !unresolved) {
        services_.registry->release(shown->second.first, "", shown->second.second);
        unresolved_.erase(shown);
    } else if (shown == unresolved_.end() && unresolved) {
        const std::lock_guard lock(mutex_);
        const auto found = targets_.find(id);
        if (found == targets_.end())
            return;
        const auto& [host, labels] =
            unresolved_.emplace(id, std::pair(found->second.config.host, found->second.labels)).first->second;
        services_.registry->hold(host, "", labels);
        services_.registry->setHostStatus(host, "", HostStatus::NA, labels);
    }
}

void TargetWatch::probed(const WatchedHost& host, const ProbeEvent& event) {
    if (!event.statusChanged)
        return;
    TargetConfig config;
    {
        const std::lock_guard lock(mutex_);
        if (const auto found = targets_.find(host.id); found != targets_.end())
            config = found->second.config;
    }
    // Only the edges into and out of Bad are news; Good and Average trade places all day on a busy link.
    const bool down = event.hostStatus == HostStatus::Bad;
    if (down == down_.contains(host.id))
        return;
    if (down)
        down_.insert(host.id);
    else
        down_.erase(host.id);
    say(down ? LogSeverity::Warn : LogSeverity::Info, down ? "host down" : "host up", config,
        {{"address", host.address}, {"status", statusStateName(event.hostStatus)}});
}

void TargetWatch::say(LogSeverity severity, std::string_view message, const TargetConfig& target,
                      std::initializer_list<LogField> more) {
    std::vector<LogField> fields{{"host", target.host}};
    if (!target.name.empty())
        fields.push_back({"target", target.name});
    fields.insert(fields.end(), more.begin(), more.end());
    log_.log(severity, message, fields);
}

void TargetWatch::started(const WatchedHost& host) {
    log_.debug("probing", {{"host", host.settings.host}, {"address", host.address}});
    showUnresolved(host.id, false);
    countStates();
}

void TargetWatch::startFailed(const WatchedHost& host, HostSupervisor::StartFailure why, bool) {
    TargetConfig config;
    {
        const std::lock_guard lock(mutex_);
        const auto found = targets_.find(host.id);
        if (found == targets_.end())
            return;
        config = found->second.config;
    }
    if (why == HostSupervisor::StartFailure::NotFound) {
        countResolveError(host.id, config);
        showUnresolved(host.id, true);
    } else
        say(LogSeverity::Error, "cannot probe host", config, {{"source", config.source}});
    countStates();
}

void TargetWatch::hostChanged(RunId) {
    countStates();
}

void TargetWatch::countStates() {
    std::size_t resolved = 0;
    std::size_t running = 0;
    for (const WatchedHost& host : supervisor_->hosts()) {
        resolved += host.address.empty() ? 0 : 1;
        running += host.running ? 1 : 0;
    }
    resolved_ = resolved;
    running_ = running;
}

std::string TargetWatch::labelsOf(RunId run) const {
    const std::lock_guard lock(mutex_);
    const auto found = targets_.find(run);
    return found == targets_.end() ? std::string() : found->second.labels;
}

std::uint32_t TargetWatch::routeRounds(RunId run) const {
    const std::lock_guard lock(mutex_);
    const auto found = targets_.find(run);
    return found == targets_.end() ? 0 : static_cast<std::uint32_t>(std::max(found->second.config.routeRounds, 0));
}

std::vector<std::string> TargetWatch::pathWatchedLabels(const std::string& host) const {
    const std::lock_guard lock(mutex_);
    std::vector<std::string> labels;
    for (const auto& [id, target] : targets_)
        if (target.config.pathWatch.on && target.config.host == host)
            labels.push_back(target.labels);
    return labels;
}

std::string TargetWatch::exposition() const {
    std::string out = "# HELP ostrevo_resolve_errors_total Look-ups of a target's name that found no address.\n"
                      "# TYPE ostrevo_resolve_errors_total counter\n";
    {
        const std::lock_guard lock(mutex_);
        for (const auto& [key, count] : resolveErrors_) {
            const std::size_t cut = key.find('\n');
            out.append("ostrevo_resolve_errors_total{host=\"")
                .append(escapeLabelValue(std::string_view(key).substr(0, cut)))
                .append("\"")
                .append(key.substr(cut + 1))
                .append("} ")
                .append(std::to_string(count))
                .append("\n");
        }
    }
    out += "# HELP ostrevod_targets Targets of the config file: configured, with an address, probing.\n"
           "# TYPE ostrevod_targets gauge\n";
    out += "ostrevod_targets{state=\"configured\"} " + std::to_string(configured_.load()) + "\n";
    out += "ostrevod_targets{state=\"resolved\"} " + std::to_string(resolved_.load()) + "\n";
    out += "ostrevod_targets{state=\"running\"} " + std::to_string(running_.load()) + "\n";
    return out;
}
