#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "engine/IcmpSocket.h"
#include "engine/ProbeHub.h"

class NetNamespace;

// A hub on the kernel's own sockets, for tests of what the kernel really sends and answers: its thread is made
// inside a namespace (or in the calling thread's own, with that thread's capabilities), and it records every
// probe, every run end and the kind of each socket it opened.
//
//     KernelHub hub(IcmpSocket::Preference::RawOnly, &ns);
//     const std::vector<ProbeEvent> probes = hub.probe(KernelHub::host(KernelHub::kLoopback), 3);
class KernelHub : public WindowPort {
public:
    static constexpr std::chrono::seconds kPatience{30}; // only ever waited out when something hangs
    static constexpr const char* kLoopback = "127.0.0.1";
    static constexpr const char* kLoopbackV6 = "::1";

    // `ns` null: the hub's thread stays where the calling thread is.
    KernelHub(IcmpSocket::Preference sockets, const NetNamespace* ns);
    ~KernelHub() override;
    KernelHub(const KernelHub&) = delete;
    KernelHub& operator=(const KernelHub&) = delete;

    [[nodiscard]] bool ok() const { return hub_ != nullptr; }

    // A host at `address` (v4 or v6 text) as the program probes it (payload 32, TTL 255, a 2 s wait), one
    // request right after the other's result.
    [[nodiscard]] static RunSettings host(const std::string& address);
    [[nodiscard]] static IpAddress address(const std::string& text);

    // Runs the host for `count` requests and stops it: their probes in order (fewer only when the hub hung or
    // the start failed). `afterEach` runs on the test thread as each probe comes in, before the next is read.
    [[nodiscard]] std::vector<ProbeEvent> probe(RunSettings settings, std::uint64_t count = 1,
                                                const std::function<void(const ProbeEvent&)>& afterEach = {});
    // One request of its own run; a probe with status GeneralFailure and no address when none came.
    [[nodiscard]] ProbeEvent probeOnce(const RunSettings& settings);

    // Starts the host and returns how its run ended once it has (a start that cannot open a socket ends at
    // once); nothing when it still runs after `wait`. The run is stopped either way.
    [[nodiscard]] std::optional<RunEnd> startAndSeeEnd(const RunSettings& settings, std::chrono::milliseconds wait);

    // The kinds of the sockets the hub opened, in order.
    [[nodiscard]] std::vector<IcmpSocket::Kind> openedKinds() const;

    // Keeps a host running beside the tested ones: `probesOf` sees its probes.
    void startRun(RunId run, const RunSettings& settings);
    void stopRun(RunId run);
    [[nodiscard]] std::vector<ProbeEvent> probesOf(RunId run) const;
    [[nodiscard]] bool waitForProbes(RunId run, std::size_t count) const;

private:
    void probed(const ProbeEvent& event) override;
    void postLog(const ProbeEvent&) override {}
    void runEnded(RunId run, RunEnd end) override;
    [[nodiscard]] bool waitForEnd(RunId run, std::chrono::milliseconds wait) const;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<ProbeEvent> probes_;
    std::vector<std::pair<RunId, RunEnd>> ends_;
    std::vector<IcmpSocket::Kind> kinds_;
    RunId nextRun_ = 1000; // the tested runs; those kept beside them choose their own, below
    std::unique_ptr<ProbeHub> hub_;
};
