#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

#include <QObject>

#include "alerts/MessagePort.h"
#include "monitor/HostRunner.h"
#include "monitor/WatchedHost.h"
#include "engine/HostResolver.h"
#include "monitor/HostLookup.h"
#include "types/IpAddress.h"
#include "settings/HostListStore.h"

class AppSettings;
class EventLog;

// The watched hosts, the main one first (RunId 1, run by the main window's RunControl) and the others from
// RunId 2 on, probed together by one HostRunner made at their first start. Lives on the window thread: the
// runner's reports come back as queued calls (the runner never waits for the window), each host writes its
// own log records, and its alerts carry its own settings.
class HostList : public QObject {
    Q_OBJECT
public:
    static constexpr RunId kMainId = 1;
    // How far back a row's sparkline reaches, and the most points it keeps.
    static constexpr std::int64_t kRecentSpanMs = RecentPoints::kSpanMs;
    static constexpr std::size_t kMaxRecentPoints = RecentPoints::kCapacity;

    struct Services {
        std::shared_ptr<HostResolver> resolver;
        MessagePort* messages = nullptr; // the logs' error boxes
        // Makes the runner at the first start of another host; `face` outlives it.
        std::function<std::unique_ptr<HostRunner>(WindowPort& face)> makeRunner;
        std::function<void()> beforeStart; // a run of another host is about to begin (the history opens)
        // The main host's run, as its window's Start and Stop do it.
        std::function<void()> startMain;
        std::function<void()> stopMain;
        std::function<bool()> mainBusy;      // a start of the main host waits for the name service
        std::function<std::int64_t()> nowMs; // wall clock; empty: the system's
    };

    HostList(AppSettings& main, Services services, QObject* parent = nullptr);
    ~HostList() override;

    [[nodiscard]] const std::vector<WatchedHost>& hosts() const { return hosts_; }
    [[nodiscard]] const WatchedHost* find(RunId id) const;
    // Bad over Average over Good over N/A, of the running hosts.
    [[nodiscard]] HostStatus worstStatus() const;
    // The hosts beside the main one as they are to be stored, with whether each runs.
    [[nodiscard]] StoredHostList stored() const;

    // The stored list at start-up: its hosts are added and those that were running start.
    void restore(const StoredHostList& list);

    // Another host with the per-host fields of `settings`; 0 when it has no host to watch.
    RunId add(const Settings& settings);
    // New per-host fields for a host beside the main one; a running host starts again with them.
    bool edit(RunId id, const Settings& settings);
    bool remove(RunId id); // not the main host
    // A host that is not found is said in a box here; Start all and start-up only note it on stderr.
    void start(RunId id);
    void stop(RunId id);
    void startAll();
    void stopAll();
    // Swaps the host's per-host fields with the main host's; each keeps running (or not) as it did, now under
    // the other place. Refused while the main host's start waits for the name service.
    bool makeMain(RunId id);

    // A line of the host's own event log (a host beside the main one, as configured), when it keeps one.
    void writeLog(const std::string& host, const std::string& text);

    // The main host as its window shows it: running or not, and each of its probes.
    void setMainRunning(bool running);
    void showMainProbe(const ProbeEvent& event);

Q_SIGNALS:
    // Hosts came, went, or changed their settings or place: the whole list is to be shown again.
    void listChanged();
    // One host's values changed (a probe, a start or stop).
    void hostChanged(RunId id);
    // The worst status of the running hosts may have changed.
    void statusesChanged();
    // The user changed the list or a host's settings: it is to be kept.
    void userChanged();

private:
    struct Runtime;
    class Face;

    [[nodiscard]] WatchedHost* findHost(RunId id);
    [[nodiscard]] Runtime& runtimeOf(RunId id);
    void reindex();
    void setSettings(WatchedHost& host, const Settings& settings);
    void begin(WatchedHost& host);
    void finishStart(RunId id, const LookupAnswer& answer);
    [[nodiscard]] bool lookupPending(RunId id) const;
    void cancelLookup(RunId id);
    void startQuietly(RunId id);
    void restart(RunId id);
    void recordProbe(WatchedHost& host, const ProbeEvent& event);
    void handleProbe(const ProbeEvent& event);
    void handleLog(const ProbeEvent& event);
    void handleRunEnded(RunId id, RunEnd end);
    void markStopped(WatchedHost& host);
    void syncMainSettings();
    [[nodiscard]] std::int64_t now() const;
    HostRunner& runner();

    AppSettings& main_;
    Services services_;
    std::vector<WatchedHost> hosts_;
    std::unordered_map<RunId, std::size_t> index_;
    std::map<RunId, std::unique_ptr<Runtime>> runtimes_;
    RunId nextId_ = kMainId + 1;
    bool startMainWhenStopped_ = false;
    std::unique_ptr<Face> face_;
    std::unique_ptr<HostRunner> runner_; // after face_: ended first
};
