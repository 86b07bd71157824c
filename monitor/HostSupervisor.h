#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <unordered_map>
#include <vector>

#include "engine/HostResolver.h"
#include "engine/WindowPort.h"
#include "monitor/HostLookup.h"
#include "monitor/HostRunner.h"
#include "monitor/WatchedHost.h"

// Bad over Average over Good over N/A, of the running hosts: the one rule for the tray and the Hosts window.
[[nodiscard]] HostStatus worstStatus(std::span<const WatchedHost> hosts);

// The watched hosts and their runs on one runner (the hub), for every front end: it finds their addresses,
// starts, stops and restarts them, swaps the main host (the first of the list) and applies a whole new list.
//
// It lives on an owner thread (the program's window thread, the service's main loop), which it never blocks:
// it never waits for the runner. The runner reports on its own thread to the supervisor's face, which queues
// the reports and asks the owner, through `post`, to handle them: one posted task per burst of reports, not
// one per probe. Views read the hosts by reference; the listeners hear what changed, on the owner's thread.
class HostSupervisor : private WindowPort {
public:
    using Post = std::function<void(std::function<void()>)>;

    enum class StartFailure : std::uint8_t { NotFound, ChannelFailed };

    // Told on the owner's thread. The host passed is valid during the call only; a listener may call the
    // supervisor back.
    class Listener {
    public:
        virtual ~Listener() = default;
        virtual void probed(const WatchedHost& /*host*/, const ProbeEvent& /*event*/) {}
        virtual void logDue(const WatchedHost& /*host*/, const ProbeEvent& /*event*/) {}
        // A run began: the host's address and official name are known.
        virtual void started(const WatchedHost& /*host*/) {}
        // `asked`: the user started it (a box is due), not start-up or Start all.
        virtual void startFailed(const WatchedHost& /*host*/, StartFailure /*why*/, bool /*asked*/) {}
        // The runner has answered a stop: nothing of that run comes any more.
        virtual void runEnded(const WatchedHost& /*host*/) {}
        virtual void listChanged() {}             // hosts came, went, changed their settings or places
        virtual void hostChanged(RunId /*id*/) {} // a host started, stopped or began a lookup
        virtual void statusesChanged() {}         // the worst status may have changed
    };

    struct Services {
        std::shared_ptr<HostResolver> resolver;
        Post post; // runs a task on the owner's thread later; called from other threads
        // Makes the runner once, at construction; the supervisor is its face and outlives it.
        std::function<std::unique_ptr<HostRunner>(WindowPort& face)> makeRunner;
        std::function<std::int64_t()> nowMs; // wall clock; empty: the system's
        // Right before a run is handed to the runner (the program opens its history, so the first probe finds it).
        std::function<void()> beforeRun;
        // What a run of the host sends beyond its settings (the service's TTL, TOS, timeout, source); called on
        // the owner's thread just before the run starts. Empty: the program's defaults.
        std::function<void(RunId id, RunSettings& run)> tuneRun;
    };

    // One host of a whole new list: matched to the host of the list with its id; an entry without one, to a host
    // with its host text. An id that names no host is the new host's (the service numbers its targets itself).
    struct Entry {
        RunId id = 0;
        Settings settings;
        bool run = false;
    };

    explicit HostSupervisor(Services services);
    ~HostSupervisor() override; // ends the runner first: no report comes after
    HostSupervisor(const HostSupervisor&) = delete;
    HostSupervisor& operator=(const HostSupervisor&) = delete;

    void addListener(Listener& listener);
    void removeListener(Listener& listener);
    // The program-wide fields every run takes (whether alerts notify).
    void setProgramSettings(const Settings& settings) { program_ = settings; }

    [[nodiscard]] const std::vector<WatchedHost>& hosts() const { return hosts_; }
    [[nodiscard]] const WatchedHost* find(RunId id) const;
    [[nodiscard]] HostStatus worstStatus() const { return ::worstStatus(hosts_); }

    // A host to watch, last of the list; 0 when it has no host text. Started when `run`, quietly.
    RunId add(const Settings& settings, bool run = false);
    // The main host, first of the list, kept even without a host text (a desktop's window shows it all the same).
    RunId addMain(const Settings& settings);
    // New per-host fields; a host that runs or waits for its name starts again with them. Only the main host may
    // be left without a host text.
    bool edit(RunId id, const Settings& settings);
    bool remove(RunId id);
    // `asked`: the user asked for it, so a failure is to be said in a box.
    void start(RunId id, bool asked = true);
    void stop(RunId id);
    void reset(RunId id);      // the run's figures start again
    void loggingOff(RunId id); // the host's log failed: its run sends no more records
    void startAll();           // the hosts that are not running, quietly
    void stopAll();
    // The host takes the first place and the first host its place; both runs go on untouched.
    bool makeMain(RunId id);
    // The list becomes `entries`, in their order. A host whose settings did not change keeps its run and figures;
    // a changed one starts again; new ones start when asked to run; those not listed stop and go.
    void apply(const std::vector<Entry>& entries);

private:
    struct Report {
        enum class Kind : std::uint8_t { Probe, Log, Ended };
        Kind kind = Kind::Probe;
        ProbeEvent event; // Probe, Log
        RunId run = 0;    // Ended
        RunEnd end = RunEnd::Stopped;
    };
    // What the owner keeps of a host besides its row.
    struct Runtime {
        std::unique_ptr<HostLookup> lookup;
        bool asked = false;
        // Stops sent and not yet answered: until the last answer, what the old run still reports is dropped.
        unsigned stopsUnanswered = 0;
    };
    // Shared with the posted drain tasks, which may run after the supervisor is gone.
    struct Inbox {
        std::mutex mutex;
        std::vector<Report> reports;
        bool drainPosted = false;
        HostSupervisor* owner = nullptr; // cleared on the owner's thread when the supervisor goes
    };

    // The runner's face, on the runner's thread.
    void probed(const ProbeEvent& event) override;
    void postLog(const ProbeEvent& event) override;
    void runEnded(RunId run, RunEnd end) override;
    void deliver(Report report);
    void drain();
    void handle(Report& report);
    void handleProbe(const ProbeEvent& event);
    void handleEnded(RunId id, RunEnd end);

    [[nodiscard]] WatchedHost* findHost(RunId id);
    [[nodiscard]] Runtime& runtimeOf(RunId id);
    [[nodiscard]] std::int64_t now() const;
    void reindex();
    RunId append(const Settings& settings);
    void launch(RunId id, const LookupAnswer& answer);
    void markStopped(WatchedHost& host);
    void restart(RunId id, bool asked);
    void statusesMayHaveChanged();
    template <typename F> void tell(F&& call);

    Services services_;
    Settings program_;
    std::vector<WatchedHost> hosts_;
    std::unordered_map<RunId, std::size_t> index_;
    std::unordered_map<RunId, Runtime> runtimes_;
    std::vector<Listener*> listeners_;
    // The reports being handled, in order; a listener's nested event loop (a message box) handles the rest of
    // them and what came meanwhile, so no report overtakes an older one.
    std::vector<Report> batch_;
    std::size_t nextReport_ = 0;
    unsigned drainDepth_ = 0;
    bool statusesDirty_ = false;
    RunId nextId_ = 1;
    std::shared_ptr<Inbox> inbox_;
    std::unique_ptr<HostRunner> runner_; // last: ended first
};
