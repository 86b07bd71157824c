#include "app/hosts/HostList.h"

#include <cstdio>
#include <utility>

#include "alerts/EventLog.h"
#include "app/common/AppSettings.h"
#include "monitor/HostFields.h"
#include "text/ProbeText.h"

// A host's own log, with the settings it reads.
struct HostList::Log {
    Settings settings;
    std::unique_ptr<EventLog> log;
};

// What the supervisor tells, turned into the list's signals; a class of its own because the signals bear the
// listener's names.
class HostList::Heard : public HostSupervisor::Listener {
public:
    explicit Heard(HostList& list) : list_(list) {}
    void probed(const WatchedHost& host, const ProbeEvent& /*event*/) override { Q_EMIT list_.hostChanged(host.id); }
    void logDue(const WatchedHost& host, const ProbeEvent& event) override { list_.writeLog(host, event); }
    void startFailed(const WatchedHost& host, HostSupervisor::StartFailure why, bool asked) override {
        list_.reportFailedStart(host, why, asked);
    }
    void listChanged() override {
        list_.followLogs();
        Q_EMIT list_.listChanged();
    }
    void hostChanged(RunId id) override { Q_EMIT list_.hostChanged(id); }
    void statusesChanged() override { Q_EMIT list_.statusesChanged(); }

private:
    HostList& list_;
};

HostList::HostList(AppSettings& main, HostSupervisor& supervisor, Services services, QObject* parent)
    : QObject(parent), main_(main), supervisor_(supervisor), services_(std::move(services)),
      heard_(std::make_unique<Heard>(*this)) {
    supervisor_.addListener(*heard_);
    connect(&main_, &AppSettings::changed, this, [this] { syncMainSettings(); });
    followLogs();
}

HostList::~HostList() {
    supervisor_.removeListener(*heard_);
    for (auto& [id, log] : logs_)
        log->log->release();
}

RunId HostList::mainId() const {
    return hosts().empty() ? 0 : hosts().front().id;
}

StoredHostList HostList::stored() const {
    StoredHostList list;
    for (const WatchedHost& host : hosts())
        if (!host.main) {
            StoredHost entry;
            copyHostFields(host.settings, entry.settings);
            entry.running = host.busy();
            list.hosts.push_back(std::move(entry));
        }
    return list;
}

void HostList::restore(const StoredHostList& list) {
    // Start-up loads the main host's settings without announcing them.
    syncMainSettings();
    for (const StoredHost& stored : list.hosts)
        supervisor_.add(stored.settings, stored.running); // an entry without a host has nothing to watch
}

// The main settings are the first host's: what changed in them (the options, make main, a lowered payload)
// reaches the supervisor, which starts a running main host again only when a field of its run changed.
void HostList::syncMainSettings() {
    supervisor_.setProgramSettings(main_.value());
    const WatchedHost* first = find(mainId());
    if (first != nullptr && !HostFields::same(first->settings, main_.value()))
        supervisor_.edit(first->id, main_.value());
}

// Each host beside the main one has its log, opened again when the file, the mode or the level changed.
void HostList::followLogs() {
    std::map<RunId, std::unique_ptr<Log>> kept;
    for (const WatchedHost& host : hosts()) {
        if (host.main)
            continue;
        std::unique_ptr<Log> log;
        if (auto found = logs_.find(host.id); found != logs_.end())
            log = std::move(found->second);
        const bool fresh = !log;
        if (fresh) {
            log = std::make_unique<Log>();
            log->log = std::make_unique<EventLog>(log->settings, *services_.messages);
            const RunId id = host.id;
            Log* raw = log.get();
            // Off for this host, so that it stays off and is stored so; its run stops sending records.
            log->log->loggingStopped = [this, id, raw] {
                raw->settings.logLevel = LogLevel::Off;
                supervisor_.loggingOff(id);
                Q_EMIT userChanged();
            };
        }
        const Settings before = log->settings;
        copyHostFields(host.settings, log->settings);
        const bool changed = before.logFileName != log->settings.logFileName ||
                             before.logAppend != log->settings.logAppend || before.logLevel != log->settings.logLevel;
        Log& kept_log = *(kept[host.id] = std::move(log));
        if (kept_log.settings.logLevel == LogLevel::Off)
            kept_log.log->release();
        else if (fresh || changed)
            kept_log.log->openLogFile();
    }
    for (auto& [id, log] : logs_)
        if (log)
            log->log->release(); // its host went, or became the main one
    logs_ = std::move(kept);
}

void HostList::writeLog(const WatchedHost& host, const ProbeEvent& event) {
    const auto found = logs_.find(host.id);
    if (!host.main && found != logs_.end())
        found->second->log->writeRecord(event.hostStatus, ProbeText::replyLine(event));
}

void HostList::writeLog(const std::string& host, const std::string& text) {
    for (const WatchedHost& watched : hosts()) {
        if (watched.main || watched.settings.host != host)
            continue;
        const auto found = logs_.find(watched.id);
        if (found != logs_.end() && found->second->log->isOpen())
            found->second->log->writeRecord(watched.status, text);
    }
}

void HostList::reportFailedStart(const WatchedHost& host, HostSupervisor::StartFailure why, bool asked) {
    if (host.main)
        return; // the main window says it
    if (why == HostSupervisor::StartFailure::ChannelFailed) {
        std::fprintf(stderr, "ostrevo: %s: can't open the ping channel\n", host.settings.host.c_str());
        return;
    }
    std::fprintf(stderr, "ostrevo: %s: host not found; it is not watched\n", host.settings.host.c_str());
    // A box for a start the user asked for; at start-up and for Start all, one per host would bury the desktop
    // when the name service is down for a whole list.
    if (asked)
        services_.messages->showError(host.settings.host +
                                          ": Host not found.\r\nWrong Host name,\r\nDNS failed to resolve Host name "
                                          "or DNS is down.",
                                      "Start - Error");
}

RunId HostList::add(const Settings& settings) {
    Settings own;
    copyHostFields(settings, own);
    const RunId id = supervisor_.add(own);
    if (id != 0)
        Q_EMIT userChanged();
    return id;
}

bool HostList::edit(RunId id, const Settings& settings) {
    const WatchedHost* host = find(id);
    if (host == nullptr || host->main || settings.host.empty())
        return false;
    Settings own = host->settings;
    copyHostFields(settings, own);
    if (!supervisor_.edit(id, own))
        return false;
    Q_EMIT userChanged();
    return true;
}

bool HostList::remove(RunId id) {
    const WatchedHost* host = find(id);
    if (host == nullptr || host->main || !supervisor_.remove(id))
        return false;
    Q_EMIT userChanged();
    return true;
}

void HostList::start(RunId id) {
    const WatchedHost* host = find(id);
    if (host != nullptr && !host->main)
        supervisor_.start(id, true);
    else
        startQuietly(id);
}

void HostList::startQuietly(RunId id) {
    const WatchedHost* host = find(id);
    if (host == nullptr || host->busy())
        return;
    if (!host->main)
        supervisor_.start(id, false);
    else if (services_.startMain)
        services_.startMain();
}

void HostList::stop(RunId id) {
    const WatchedHost* host = find(id);
    if (host == nullptr)
        return;
    if (!host->main)
        supervisor_.stop(id);
    else if (services_.stopMain)
        services_.stopMain();
}

void HostList::startAll() {
    std::vector<RunId> ids;
    for (const WatchedHost& host : hosts())
        ids.push_back(host.id);
    for (RunId id : ids)
        startQuietly(id);
}

void HostList::stopAll() {
    std::vector<RunId> ids;
    for (const WatchedHost& host : hosts())
        ids.push_back(host.id);
    for (RunId id : ids)
        stop(id);
}

bool HostList::makeMain(RunId id) {
    const WatchedHost* host = find(id);
    const WatchedHost* first = find(mainId());
    if (host == nullptr || host->main || first == nullptr || first->resolving)
        return false;
    if (!supervisor_.makeMain(id))
        return false;
    // The main settings are the new main host's; its row already holds them, so no run starts again.
    const Settings now = hosts().front().settings;
    main_.change([&now](Settings& s) { copyHostFields(now, s); });
    Q_EMIT userChanged();
    return true;
}
