#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include <QObject>

#include "alerts/MessagePort.h"
#include "monitor/HostSupervisor.h"
#include "monitor/WatchedHost.h"
#include "settings/HostListStore.h"

class AppSettings;
class EventLog;

// The program's face of the host supervisor on the window thread: the watched hosts, the main one first, as
// Qt signals for the windows and the tray, the main settings kept in the supervisor's first host, and a log of
// its own for each other host (the main host's log is the program's). The main host starts and stops as its
// window's Start and Stop do it.
class HostList : public QObject {
    Q_OBJECT
public:
    // How far back a row's sparkline reaches, and the most points it keeps.
    static constexpr std::int64_t kRecentSpanMs = RecentPoints::kSpanMs;
    static constexpr std::size_t kMaxRecentPoints = RecentPoints::kCapacity;

    struct Services {
        MessagePort* messages = nullptr; // the logs' and starts' error boxes
        // The main host's run, as its window's Start and Stop do it.
        std::function<void()> startMain;
        std::function<void()> stopMain;
    };

    // The supervisor outlives the list; its first host becomes the main one, with the main settings.
    HostList(AppSettings& main, HostSupervisor& supervisor, Services services, QObject* parent = nullptr);
    ~HostList() override;

    [[nodiscard]] const std::vector<WatchedHost>& hosts() const { return supervisor_.hosts(); }
    [[nodiscard]] const WatchedHost* find(RunId id) const { return supervisor_.find(id); }
    [[nodiscard]] RunId mainId() const;
    // Bad over Average over Good over N/A, of the running hosts.
    [[nodiscard]] HostStatus worstStatus() const { return supervisor_.worstStatus(); }
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
    // The host takes the main place and the main host its place: both runs go on as they were, and the main
    // settings become the host's. Refused while the main host's start waits for the name service.
    bool makeMain(RunId id);

    // A line of the host's own event log (a host beside the main one, as configured), when it keeps one.
    void writeLog(const std::string& host, const std::string& text);

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
    struct Log;
    class Heard;

    void writeLog(const WatchedHost& host, const ProbeEvent& event);
    void reportFailedStart(const WatchedHost& host, HostSupervisor::StartFailure why, bool asked);
    void syncMainSettings();
    void followLogs();
    void startQuietly(RunId id);

    AppSettings& main_;
    HostSupervisor& supervisor_;
    Services services_;
    std::map<RunId, std::unique_ptr<Log>> logs_; // of the hosts beside the main one
    std::unique_ptr<Heard> heard_;
};
