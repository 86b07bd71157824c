#include "app/hosts/HostList.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>
#include <utility>

#include <QMetaObject>
#include <QTimer>

#include "alerts/EventLog.h"
#include "app/common/AppSettings.h"
#include "engine/EchoReply.h"
#include "monitor/HostSupervisor.h"
#include "text/ProbeText.h"

// What a host beside the main one needs besides its row: its log, with the settings the log reads, and the
// lookup of its start.
struct HostList::Runtime {
    Settings logSettings;
    std::unique_ptr<EventLog> log;
    std::unique_ptr<HostLookup> lookup;
    bool explain = false; // the user asked for this start: a host that is not found is said in a box
    // Stops sent whose answer has not come back: the host already shows stopped, and what the old run still
    // reports until the answer belongs to no run of it.
    unsigned stopsUnanswered = 0;
};

// The runner's face: every report becomes a queued call onto the window thread. It never waits, so the
// runner's thread never waits for the window; the runner is ended before the list goes, so nothing is queued
// for a list that is gone.
class HostList::Face : public WindowPort {
public:
    explicit Face(HostList& list) : list_(list) {}
    void probed(const ProbeEvent& event) override {
        QMetaObject::invokeMethod(
            &list_, [list = &list_, event] { list->handleProbe(event); }, Qt::QueuedConnection);
    }
    void postLog(const ProbeEvent& event) override {
        QMetaObject::invokeMethod(
            &list_, [list = &list_, event] { list->handleLog(event); }, Qt::QueuedConnection);
    }
    void runEnded(RunId run, RunEnd end) override {
        QMetaObject::invokeMethod(
            &list_, [list = &list_, run, end] { list->handleRunEnded(run, end); }, Qt::QueuedConnection);
    }

private:
    HostList& list_;
};

HostList::HostList(AppSettings& main, Services services, QObject* parent)
    : QObject(parent), main_(main), services_(std::move(services)), face_(std::make_unique<Face>(*this)) {
    WatchedHost first;
    first.id = kMainId;
    first.main = true;
    first.settings = main_.value();
    hosts_.push_back(std::move(first));
    reindex();
    connect(&main_, &AppSettings::changed, this, [this] { syncMainSettings(); });
}

HostList::~HostList() {
    for (auto& [id, runtime] : runtimes_)
        cancelLookup(id);
    runner_.reset(); // ends the runs and joins the runner's thread: nothing more is queued for us
    for (auto& [id, runtime] : runtimes_)
        if (runtime->log)
            runtime->log->release();
}

std::int64_t HostList::now() const {
    if (services_.nowMs)
        return services_.nowMs();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

HostRunner& HostList::runner() {
    if (!runner_)
        runner_ = services_.makeRunner(*face_);
    return *runner_;
}

void HostList::reindex() {
    index_.clear();
    for (std::size_t i = 0; i < hosts_.size(); ++i)
        index_[hosts_[i].id] = i;
}

WatchedHost* HostList::findHost(RunId id) {
    const auto it = index_.find(id);
    return it == index_.end() ? nullptr : &hosts_[it->second];
}

const WatchedHost* HostList::find(RunId id) const {
    const auto it = index_.find(id);
    return it == index_.end() ? nullptr : &hosts_[it->second];
}

HostList::Runtime& HostList::runtimeOf(RunId id) {
    std::unique_ptr<Runtime>& runtime = runtimes_[id];
    if (!runtime)
        runtime = std::make_unique<Runtime>();
    return *runtime;
}

HostStatus HostList::worstStatus() const {
    return ::worstStatus(hosts_);
}

StoredHostList HostList::stored() const {
    StoredHostList list;
    for (const WatchedHost& host : hosts_)
        if (!host.main) {
            StoredHost entry;
            copyHostFields(host.settings, entry.settings);
            entry.running = host.running || lookupPending(host.id);
            list.hosts.push_back(std::move(entry));
        }
    return list;
}

void HostList::restore(const StoredHostList& list) {
    // Start-up loads the main host's settings without announcing them.
    syncMainSettings();
    std::vector<RunId> running;
    for (const StoredHost& stored : list.hosts) {
        // An entry without a host (a hand-edited file) has nothing to watch.
        if (stored.settings.host.empty())
            continue;
        WatchedHost host;
        host.id = nextId_++;
        index_[host.id] = hosts_.size();
        hosts_.push_back(std::move(host));
        setSettings(hosts_.back(), stored.settings);
        if (stored.running)
            running.push_back(hosts_.back().id);
    }
    Q_EMIT listChanged();
    for (RunId id : running)
        startQuietly(id);
}

void HostList::setSettings(WatchedHost& host, const Settings& settings) {
    copyHostFields(settings, host.settings);
    Runtime& runtime = runtimeOf(host.id);
    const bool logWas = runtime.log && runtime.log->isOpen();
    const Settings before = runtime.logSettings;
    copyHostFields(host.settings, runtime.logSettings);
    if (!runtime.log) {
        runtime.log = std::make_unique<EventLog>(runtime.logSettings, *services_.messages);
        const RunId id = host.id;
        // Off for this host, so that it stays off and is stored so; its run stops sending records.
        runtime.log->loggingStopped = [this, id] {
            if (WatchedHost* failed = findHost(id)) {
                failed->settings.logLevel = LogLevel::Off;
                runtimeOf(id).logSettings.logLevel = LogLevel::Off;
                if (runner_)
                    runner_->loggingOff(id);
                Q_EMIT userChanged();
            }
        };
    }
    const bool logChanged = before.logFileName != runtime.logSettings.logFileName ||
                            before.logAppend != runtime.logSettings.logAppend ||
                            before.logLevel != runtime.logSettings.logLevel;
    if (runtime.logSettings.logLevel == LogLevel::Off)
        runtime.log->release();
    else if (logChanged || !logWas)
        runtime.log->openLogFile();
}

RunId HostList::add(const Settings& settings) {
    if (settings.host.empty())
        return 0;
    WatchedHost host;
    host.id = nextId_++;
    index_[host.id] = hosts_.size();
    hosts_.push_back(std::move(host));
    setSettings(hosts_.back(), settings);
    const RunId id = hosts_.back().id;
    Q_EMIT listChanged();
    Q_EMIT userChanged();
    return id;
}

bool HostList::edit(RunId id, const Settings& settings) {
    WatchedHost* host = findHost(id);
    if (host == nullptr || host->main || settings.host.empty())
        return false;
    const bool wasRunning = host->running || lookupPending(id);
    setSettings(*host, settings);
    Q_EMIT listChanged();
    Q_EMIT userChanged();
    if (wasRunning)
        restart(id);
    return true;
}

bool HostList::remove(RunId id) {
    WatchedHost* host = findHost(id);
    if (host == nullptr || host->main)
        return false;
    const bool wasRunning = host->running;
    cancelLookup(id);
    if (wasRunning && runner_)
        runner_->stopRun(id);
    if (auto runtime = runtimes_.find(id); runtime != runtimes_.end()) {
        if (runtime->second->log)
            runtime->second->log->release();
        runtimes_.erase(runtime);
    }
    hosts_.erase(hosts_.begin() + static_cast<std::ptrdiff_t>(index_.at(id)));
    reindex();
    Q_EMIT listChanged();
    Q_EMIT userChanged();
    if (wasRunning)
        Q_EMIT statusesChanged();
    return true;
}

void HostList::start(RunId id) {
    if (const WatchedHost* host = findHost(id); host != nullptr && !host->main)
        runtimeOf(id).explain = true;
    startQuietly(id);
}

void HostList::startQuietly(RunId id) {
    WatchedHost* host = findHost(id);
    if (host == nullptr)
        return;
    if (host->main) {
        if (!host->running && services_.startMain && !(services_.mainBusy && services_.mainBusy()))
            services_.startMain();
        return;
    }
    Runtime& runtime = runtimeOf(id);
    if (!runtime.lookup)
        runtime.lookup = std::make_unique<HostLookup>(services_.resolver, [this](std::function<void()> task) {
            QMetaObject::invokeMethod(this, std::move(task), Qt::QueuedConnection);
        });
    runtime.lookup->find(host->settings.host, host->settings.resolveIp,
                         [this, id](const LookupAnswer& answer) { finishStart(id, answer); });
}

void HostList::writeLog(const std::string& host, const std::string& text) {
    for (const WatchedHost& watched : hosts_) {
        if (watched.main || watched.settings.host != host)
            continue;
        const auto runtime = runtimes_.find(watched.id);
        if (runtime != runtimes_.end() && runtime->second->log && runtime->second->log->isOpen())
            runtime->second->log->writeRecord(watched.status, text);
    }
}

void HostList::cancelLookup(RunId id) {
    const auto runtime = runtimes_.find(id);
    if (runtime != runtimes_.end() && runtime->second->lookup)
        runtime->second->lookup->cancel();
}

bool HostList::lookupPending(RunId id) const {
    const auto runtime = runtimes_.find(id);
    return runtime != runtimes_.end() && runtime->second->lookup && runtime->second->lookup->pending();
}

void HostList::finishStart(RunId id, const LookupAnswer& answer) {
    WatchedHost* host = findHost(id);
    if (host == nullptr)
        return;
    if (!answer.found()) {
        // A box for a start the user asked for; at start-up and for Start all, one per host would bury the
        // desktop when the name service is down for a whole list.
        Runtime& runtime = runtimeOf(id);
        const bool explain = std::exchange(runtime.explain, false);
        std::fprintf(stderr, "ostrevo: %s: host not found; it is not watched\n", host->settings.host.c_str());
        const std::string name = host->settings.host;
        markStopped(*host);
        if (explain)
            services_.messages->showError(
                name + ": Host not found.\r\nWrong Host name,\r\nDNS failed to resolve Host name or DNS is down.",
                "Start - Error");
        return;
    }
    runtimeOf(id).explain = false;
    if (services_.beforeStart)
        services_.beforeStart();
    Settings sent = host->settings;
    sent.buffer = std::min(sent.buffer, kMaxEchoPayload);
    sent.notify = main_.value().notify; // program-wide
    host->address = answer.addressText;
    begin(*host);
    runner().startRun(id, RunSettings::from(sent, answer.address));
    Q_EMIT hostChanged(id);
    Q_EMIT statusesChanged();
}

void HostList::begin(WatchedHost& host) {
    host.running = true;
    host.status = HostStatus::NA;
    host.statusSinceMs = now();
    host.lastRttUs.reset();
    host.stats = {};
    host.recent.clear();
}

void HostList::stop(RunId id) {
    WatchedHost* host = findHost(id);
    if (host == nullptr)
        return;
    if (host->main) {
        startMainWhenStopped_ = false;
        if (host->running && services_.stopMain)
            services_.stopMain();
        return;
    }
    Runtime& runtime = runtimeOf(id);
    const bool pending = lookupPending(id);
    runtime.explain = false;
    cancelLookup(id);
    if (host->running && runner_) {
        runner_->stopRun(id);
        ++runtime.stopsUnanswered;
        markStopped(*host);
    } else if (pending) {
        markStopped(*host);
    }
}

void HostList::restart(RunId id) {
    // Stopped first, so that what the old run still reports until the stop's answer is told apart from the
    // new run's probes.
    if (const WatchedHost* host = findHost(id); host != nullptr && host->running)
        stop(id);
    start(id);
}

void HostList::startAll() {
    std::vector<RunId> stopped;
    for (const WatchedHost& host : hosts_)
        if (!host.running)
            stopped.push_back(host.id);
    for (RunId id : stopped)
        startQuietly(id);
}

void HostList::stopAll() {
    std::vector<RunId> ids;
    for (const WatchedHost& host : hosts_)
        ids.push_back(host.id);
    for (RunId id : ids)
        stop(id);
}

void HostList::markStopped(WatchedHost& host) {
    host.running = false;
    host.status = HostStatus::NA;
    host.statusSinceMs = now();
    Q_EMIT hostChanged(host.id);
    Q_EMIT statusesChanged();
}

void HostList::recordProbe(WatchedHost& host, const ProbeEvent& event) {
    host.address = event.address;
    if (event.statusChanged || host.status != event.hostStatus)
        host.statusSinceMs = event.unixMs;
    host.status = event.hostStatus;
    host.lastRttUs = event.good() ? event.rttUs : std::nullopt;
    host.stats = event.stats;
    host.recent.push({event.unixMs, host.lastRttUs});
}

void HostList::handleProbe(const ProbeEvent& event) {
    WatchedHost* host = findHost(event.run);
    if (host == nullptr || host->main || !host->running || runtimeOf(event.run).stopsUnanswered > 0)
        return; // the last probes of a run that has just been stopped or removed
    const HostStatus before = host->status;
    recordProbe(*host, event);
    Q_EMIT hostChanged(host->id);
    if (host->status != before)
        Q_EMIT statusesChanged();
}

void HostList::handleLog(const ProbeEvent& event) {
    const auto runtime = runtimes_.find(event.run);
    if (runtime == runtimes_.end() || !runtime->second->log)
        return;
    runtime->second->log->writeRecord(event.hostStatus, ProbeText::replyLine(event));
}

void HostList::handleRunEnded(RunId id, RunEnd end) {
    WatchedHost* host = findHost(id);
    if (host == nullptr || host->main)
        return;
    Runtime& runtime = runtimeOf(id);
    if (end == RunEnd::Stopped && runtime.stopsUnanswered > 0) {
        --runtime.stopsUnanswered;
        return;
    }
    if (end == RunEnd::ChannelFailed)
        std::fprintf(stderr, "ostrevo: %s: can't open the ping channel\n", host->settings.host.c_str());
    markStopped(*host);
}

void HostList::setMainRunning(bool running) {
    WatchedHost& host = hosts_.front();
    if (running != host.running) {
        if (running)
            begin(host);
        else
            host.running = false;
        host.status = HostStatus::NA;
        host.statusSinceMs = now();
        Q_EMIT hostChanged(kMainId);
        Q_EMIT statusesChanged();
    }
    if (!running && startMainWhenStopped_) {
        startMainWhenStopped_ = false;
        // After the stop's answer has been handled all the way, as a click would come.
        QTimer::singleShot(0, this, [this] { start(kMainId); });
    }
}

void HostList::showMainProbe(const ProbeEvent& event) {
    WatchedHost& host = hosts_.front();
    if (!host.running)
        return;
    const HostStatus before = host.status;
    recordProbe(host, event);
    Q_EMIT hostChanged(kMainId);
    if (host.status != before)
        Q_EMIT statusesChanged();
}

void HostList::syncMainSettings() {
    WatchedHost& host = hosts_.front();
    Settings next = main_.value();
    if (next == host.settings)
        return;
    host.settings = std::move(next);
    Q_EMIT listChanged();
}

bool HostList::makeMain(RunId id) {
    WatchedHost* host = findHost(id);
    if (host == nullptr || host->main || (services_.mainBusy && services_.mainBusy()))
        return false;
    const bool mainWasRunning = hosts_.front().running;
    const bool otherWasRunning = host->running || lookupPending(id);
    const Settings mainBefore = main_.value();
    const Settings otherBefore = host->settings;

    // The main host's settings change only between its runs, as the options dialog changes them.
    startMainWhenStopped_ = mainWasRunning && otherWasRunning;
    if (mainWasRunning && services_.stopMain)
        services_.stopMain();
    main_.change([&otherBefore](Settings& s) { copyHostFields(otherBefore, s); });
    setSettings(*host, mainBefore);
    if (mainWasRunning)
        restart(id); // a fresh run under the settings that were the main host's
    else if (otherWasRunning)
        stop(id);
    if (otherWasRunning && !mainWasRunning)
        start(kMainId);
    Q_EMIT listChanged();
    Q_EMIT userChanged();
    return true;
}
