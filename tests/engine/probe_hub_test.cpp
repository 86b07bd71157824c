#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/IcmpPacket.h"
#include "engine/ProbeHub.h"
#include "support/NetNamespace.h"
#include "support/RecordingProbeObserver.h"
#include "support/RouterChain.h"
#include "types/IpStatus.h"

using namespace std::chrono_literals;

namespace {

using Kind = IcmpSocket::Kind;
constexpr auto kPatience = 20s;

// Every report of the hub in the order made, for all hosts.
class HubFace : public WindowPort {
public:
    struct Entry {
        bool ended = false;
        RunEnd end = RunEnd::Stopped;
        ProbeEvent event; // run only, for an end
    };

    void probed(const ProbeEvent& event) override { add(Entry{false, RunEnd::Stopped, event}); }
    void postLog(const ProbeEvent& event) override {
        std::lock_guard lock(mutex_);
        logged_.push_back(event.run);
    }
    void runEnded(RunId run, RunEnd end) override {
        ProbeEvent marker;
        marker.run = run;
        add(Entry{true, end, marker});
    }

    [[nodiscard]] std::vector<Entry> entries() const {
        std::lock_guard lock(mutex_);
        return entries_;
    }
    [[nodiscard]] std::size_t logsOf(RunId run) const {
        std::lock_guard lock(mutex_);
        return static_cast<std::size_t>(std::count(logged_.begin(), logged_.end(), run));
    }
    [[nodiscard]] std::vector<ProbeEvent> probesOf(RunId run) const {
        std::vector<ProbeEvent> found;
        for (const Entry& e : entries())
            if (!e.ended && e.event.run == run)
                found.push_back(e.event);
        return found;
    }
    [[nodiscard]] bool waitUntil(const std::function<bool()>& done) const {
        const auto deadline = std::chrono::steady_clock::now() + kPatience;
        std::unique_lock lock(mutex_);
        for (;;) {
            // Reports that never stop coming (hosts probing back to back) must not hold the wait past its bound.
            if (std::chrono::steady_clock::now() >= deadline) {
                lock.unlock();
                return done();
            }
            // A report made while `done` looks is not missed: the wait is for one after what it saw.
            const std::size_t seen = reports_;
            lock.unlock();
            const bool ok = done();
            lock.lock();
            if (ok)
                return true;
            if (!changed_.wait_until(lock, deadline, [&] { return reports_ != seen; }))
                return done();
        }
    }
    // Waits until each of `runs` has been probed `count` more times than now.
    [[nodiscard]] bool waitForProbes(const std::vector<RunId>& runs, std::size_t count) const {
        std::map<RunId, std::size_t> before;
        for (RunId run : runs)
            before[run] = probesOf(run).size();
        return waitUntil([&] {
            return std::all_of(runs.begin(), runs.end(),
                               [&](RunId run) { return probesOf(run).size() >= before[run] + count; });
        });
    }

private:
    void add(Entry entry) {
        {
            std::lock_guard lock(mutex_);
            entries_.push_back(std::move(entry));
            ++reports_;
        }
        changed_.notify_all();
    }

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<Entry> entries_;
    std::vector<RunId> logged_;
    std::size_t reports_ = 0;
};

// The host named by each alert, edges and downs at start alike.
class HostAlerts : public AlertSink {
public:
    void raiseAlert(const AlertSettings& settings, AlertEdge, HostStatus, const ProbeEvent& event) override {
        add(settings.host + (event.address == settings.host ? "" : " (probe of " + event.address + ")"));
    }
    void reportDownAtStart(const AlertSettings& settings, HostStatus, const ProbeEvent& event) override {
        add(settings.host + " down" + (event.address == settings.host ? "" : " (probe of " + event.address + ")"));
    }
    [[nodiscard]] std::vector<std::string> raised() const {
        std::lock_guard lock(mutex_);
        return raised_;
    }

private:
    void add(std::string text) {
        std::lock_guard lock(mutex_);
        raised_.push_back(std::move(text));
    }
    mutable std::mutex mutex_;
    std::vector<std::string> raised_;
};

IpAddress loopback(std::uint8_t last, std::uint8_t third = 0) {
    return IpAddress::v4(htonl(0x7F000000U | static_cast<std::uint32_t>(third) << 8 | last));
}

RunSettings hostSettings(const IpAddress& address, std::int32_t intervalMs = 50) {
    RunSettings run;
    run.targetAddress = address;
    run.alerts.host = address.text();
    run.intervalMs = intervalMs;
    run.timeoutMs = 300;
    run.tries = 3;
    return run;
}

std::size_t threadCount() {
    std::size_t count = 0;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (const dirent* entry = readdir(dir))
            count += entry->d_name[0] != '.' ? 1 : 0;
        closedir(dir);
    }
    return count;
}

std::string kindName(const testing::TestParamInfo<Kind>& info) {
    return info.param == Kind::Raw ? "Raw" : "Datagram";
}

// One namespace per test, the hub's thread inside it: 127.0.0.0/8 and ::1 answer on its loopback.
class ProbeHubInNamespace : public testing::TestWithParam<Kind> {
protected:
    void SetUp() override {
        ns_ = std::make_unique<NetNamespace>("hub");
        if (!ns_->ok())
            GTEST_SKIP() << ns_->error();
        ASSERT_TRUE(ns_->allowPingSockets());
        NetNamespace::Entered inside(*ns_);
        ASSERT_TRUE(inside.ok());
        hub_ = std::make_unique<ProbeHub>(face_, &alerts_,
                                          GetParam() == Kind::Raw ? IcmpSocket::Preference::RawOnly
                                                                  : IcmpSocket::Preference::DatagramOnly);
        hub_->addObserver(observer_);
        hub_->start(); // the thread is made here, so it lives in the namespace
    }

    // The hub's end has a bound too: a hub that never ends fails the test, and the namespace goes all the same.
    void TearDown() override {
        if (hub_) {
            auto ended = std::async(std::launch::async, [this] { hub_.reset(); });
            if (ended.wait_for(kPatience) != std::future_status::ready) {
                ADD_FAILURE() << "the hub did not end";
                ns_.reset();
                std::fflush(nullptr);
                std::_Exit(1);
            }
        }
        ns_.reset();
    }

    std::unique_ptr<NetNamespace> ns_;
    HubFace face_;
    HostAlerts alerts_;
    RecordingProbeObserver observer_;
    std::unique_ptr<ProbeHub> hub_;
};

TEST_P(ProbeHubInNamespace, EachHostIsJudgedOnItsOwnReplies) {
    // .2's requests vanish, .3's are refused, .1 and ::1 answer.
    std::string complaint;
    ASSERT_TRUE(ns_->nft("table inet ostrevo_test {\n chain input {\n type filter hook input priority 0;\n"
                         " ip daddr 127.0.0.2 icmp type echo-request drop\n"
                         " ip daddr 127.0.0.3 icmp type echo-request reject with icmp type host-unreachable\n"
                         " }\n}\n",
                         &complaint))
        << complaint;
    const std::vector<IpAddress> addresses{loopback(1), loopback(2), loopback(3), IpAddress::parseV6("::1").value()};
    for (RunId run = 1; run <= 4; ++run) {
        RunSettings settings = hostSettings(addresses[run - 1]);
        settings.logLevel = LogLevel::StatusChanges;
        hub_->startRun(run, settings);
    }
    ASSERT_TRUE(face_.waitForProbes({1, 2, 3, 4}, 4));
    hub_->stopRun(1);
    hub_->stopRun(2);
    hub_->stopRun(3);
    hub_->stopRun(4);
    ASSERT_TRUE(face_.waitUntil([&] {
        const auto entries = face_.entries();
        return std::count_if(entries.begin(), entries.end(), [](const auto& e) { return e.ended; }) == 4;
    }));

    for (RunId run = 1; run <= 4; ++run) {
        SCOPED_TRACE("host " + addresses[run - 1].text());
        const std::vector<ProbeEvent> probes = face_.probesOf(run);
        ASSERT_GE(probes.size(), 4u);
        std::uint32_t requests = 0;
        for (const ProbeEvent& p : probes) {
            EXPECT_EQ(p.address, addresses[run - 1].text());
            EXPECT_EQ(p.stats.requests, ++requests) << "one outcome per request, no duplicates";
            switch (run) {
            case 2:
                EXPECT_EQ(p.status, static_cast<std::uint32_t>(IpStatus::RequestTimedOut));
                EXPECT_FALSE(p.answered());
                break;
            case 3:
                EXPECT_EQ(p.status, static_cast<std::uint32_t>(IpStatus::DestHostUnreachable));
                EXPECT_TRUE(p.answered());
                break;
            default:
                EXPECT_TRUE(p.good()) << testing::PrintToString(p);
                EXPECT_EQ(p.replier, addresses[run - 1].text());
                EXPECT_TRUE(p.rttUs.has_value());
                EXPECT_EQ(p.bytes, 32u);
            }
        }
        EXPECT_EQ(probes.back().hostStatus, run == 1 || run == 4 ? HostStatus::Good : HostStatus::Bad);
        EXPECT_EQ(face_.logsOf(run), static_cast<std::size_t>(std::count_if(
                                         probes.begin(), probes.end(), [](const auto& p) { return p.statusChanged; })));
    }
    // Each host alerts with its own settings, on its own probes: the two that never answered are down at start.
    std::vector<std::string> raised = alerts_.raised();
    std::sort(raised.begin(), raised.end());
    EXPECT_EQ(raised, (std::vector<std::string>{"127.0.0.2 down", "127.0.0.3 down"}));
    // The observers heard the same probes under the same ids, and one end per run.
    const std::vector<ProbeEvent> observed = observer_.events();
    for (RunId run = 1; run <= 4; ++run)
        EXPECT_EQ(std::count_if(observed.begin(), observed.end(), [run](const auto& e) { return e.run == run; }),
                  static_cast<std::ptrdiff_t>(face_.probesOf(run).size()));
    EXPECT_EQ(observer_.runEnds().size(), 4u);
}

// Answers echo requests from user space in the namespace, with the kernel's own answers off: every request to
// `honest` is answered truly, twice, after a forged error quoting it as sent to `liar` and a forged reply with its
// number from `liar`; every request to `liar` only gets forged replies with its number from `honest`.
class Injector {
public:
    Injector(const NetNamespace& ns, const IpAddress& honest, const IpAddress& liar) {
        thread_ = std::thread([this, &ns, honest, liar] {
            NetNamespace::Entered inside(ns);
            const int listen = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
            const int fromHonest = boundSender(honest);
            const int fromLiar = boundSender(liar);
            ready_ = listen >= 0 && fromHonest >= 0 && fromLiar >= 0;
            started_ = true;
            timeval tick{0, 20'000};
            (void)setsockopt(listen, SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof tick);
            std::vector<std::uint8_t> buffer(65536);
            while (!stop_ && ready_) {
                const ssize_t length = recv(listen, buffer.data(), buffer.size(), 0);
                if (length < 28)
                    continue;
                const std::size_t ip = static_cast<std::size_t>(buffer[0] & 0x0f) * 4;
                if (buffer[ip] != IcmpPacket::kEchoRequest)
                    continue;
                std::uint32_t destination = 0;
                std::memcpy(&destination, &buffer[16], sizeof destination);
                std::vector<std::uint8_t> reply(buffer.begin() + static_cast<std::ptrdiff_t>(ip),
                                                buffer.begin() + length);
                reply[0] = IcmpPacket::kEchoReply;
                reply[2] = reply[3] = 0;
                const std::uint16_t sum = IcmpPacket::checksum(reply);
                reply[2] = static_cast<std::uint8_t>(sum >> 8);
                reply[3] = static_cast<std::uint8_t>(sum);
                if (destination == honest.v4Value()) {
                    ++honestRequests_;
                    sendTo(fromLiar, unreachable({buffer.begin(), buffer.begin() + length}, ip, liar), honest);
                    sendTo(fromLiar, reply, honest);
                    sendTo(fromHonest, reply, honest);
                    sendTo(fromHonest, reply, honest);
                } else if (destination == liar.v4Value()) {
                    sendTo(fromHonest, reply, liar);
                }
            }
            for (int fd : {listen, fromHonest, fromLiar})
                if (fd >= 0)
                    ::close(fd);
        });
        while (!started_)
            std::this_thread::sleep_for(1ms);
    }
    ~Injector() {
        stop_ = true;
        thread_.join();
    }
    Injector(const Injector&) = delete;
    Injector& operator=(const Injector&) = delete;
    [[nodiscard]] bool ok() const { return ready_; }
    [[nodiscard]] std::size_t honestRequests() const { return honestRequests_; }

private:
    static int boundSender(const IpAddress& from) {
        const int fd = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
        sockaddr_in sin{};
        sin.sin_family = AF_INET;
        sin.sin_addr.s_addr = from.v4Value();
        if (fd >= 0 && bind(fd, reinterpret_cast<const sockaddr*>(&sin), sizeof sin) != 0) {
            ::close(fd);
            return -1;
        }
        return fd;
    }
    // A Host Unreachable quoting the request in `packet` (its IP header first) as if it had gone to `elsewhere`.
    static std::vector<std::uint8_t> unreachable(std::vector<std::uint8_t> packet, std::size_t ipLength,
                                                 const IpAddress& elsewhere) {
        const std::uint32_t to = elsewhere.v4Value();
        std::memcpy(&packet[16], &to, sizeof to);
        packet[10] = packet[11] = 0;
        const std::uint16_t headerSum = IcmpPacket::checksum(std::span<const std::uint8_t>(packet).first(ipLength));
        packet[10] = static_cast<std::uint8_t>(headerSum >> 8);
        packet[11] = static_cast<std::uint8_t>(headerSum);
        std::vector<std::uint8_t> error{3, 1, 0, 0, 0, 0, 0, 0};
        error.insert(error.end(), packet.begin(), packet.begin() + static_cast<std::ptrdiff_t>(ipLength + 8));
        const std::uint16_t sum = IcmpPacket::checksum(error);
        error[2] = static_cast<std::uint8_t>(sum >> 8);
        error[3] = static_cast<std::uint8_t>(sum);
        return error;
    }
    // Our requests come from 127.0.0.1, so that is where every reply goes.
    static void sendTo(int fd, const std::vector<std::uint8_t>& reply, const IpAddress&) {
        sockaddr_in sin{};
        sin.sin_family = AF_INET;
        sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        (void)sendto(fd, reply.data(), reply.size(), 0, reinterpret_cast<const sockaddr*>(&sin), sizeof sin);
    }

    std::atomic<bool> stop_{false};
    std::atomic<bool> started_{false};
    std::atomic<bool> ready_{false};
    std::atomic<std::size_t> honestRequests_{0};
    std::thread thread_;
};

TEST_P(ProbeHubInNamespace, ForgedAndDuplicateRepliesCountForNobody) {
    ASSERT_TRUE(ns_->sysctl("net.ipv4.icmp_echo_ignore_all", "1"));
    Injector injector(*ns_, loopback(1), loopback(2));
    ASSERT_TRUE(injector.ok());
    hub_->startRun(7, hostSettings(loopback(1)));
    hub_->startRun(8, hostSettings(loopback(2)));
    ASSERT_TRUE(face_.waitForProbes({7, 8}, 5));
    hub_->stopRun(7);
    hub_->stopRun(8);
    ASSERT_TRUE(face_.waitUntil([&] { return face_.entries().back().ended && face_.entries().size() > 2; }));

    const std::vector<ProbeEvent> honest = face_.probesOf(7);
    for (const ProbeEvent& p : honest) {
        EXPECT_TRUE(p.good()) << "a forged reply from the other host came first: " << testing::PrintToString(p);
        EXPECT_EQ(p.replier, "127.0.0.1");
    }
    EXPECT_LE(honest.size(), injector.honestRequests()) << "a duplicate reply made a probe of its own";
    EXPECT_EQ(honest.back().stats.requests, honest.size());
    EXPECT_EQ(honest.back().stats.lost, 0u);
    for (const ProbeEvent& p : face_.probesOf(8))
        EXPECT_EQ(p.status, static_cast<std::uint32_t>(IpStatus::RequestTimedOut))
            << "a reply with its number from another address counted: " << testing::PrintToString(p);
}

TEST_P(ProbeHubInNamespace, StopResetAndRestartOfOneHostLeaveTheOthersAlone) {
    // Every host answers; the program's timeout keeps a loaded machine's slow loopback from passing for a loss.
    const auto settings = [](RunId run) {
        RunSettings host = hostSettings(loopback(static_cast<std::uint8_t>(run)));
        host.timeoutMs = 2000;
        return host;
    };
    for (RunId run : {1, 2, 3})
        hub_->startRun(run, settings(run));
    ASSERT_TRUE(face_.waitForProbes({1, 2, 3}, 3));
    hub_->stopRun(2);
    hub_->resetRun(1);
    hub_->startRun(3, settings(3)); // a fresh run over the running one
    hub_->stopRun(9);               // never started: answered all the same
    ASSERT_TRUE(face_.waitForProbes({1, 3}, 3));
    hub_->startRun(2, settings(2));
    ASSERT_TRUE(face_.waitForProbes({1, 2, 3}, 3));

    // Per host: the reports in order, each probe's count of requests, 0 for an end.
    std::map<RunId, std::vector<std::uint32_t>> story;
    for (const HubFace::Entry& e : face_.entries())
        story[e.event.run].push_back(e.ended ? 0 : e.event.stats.requests);
    const auto restartsAt = [](const std::vector<std::uint32_t>& counts) {
        std::vector<std::size_t> at;
        for (std::size_t i = 1; i < counts.size(); ++i)
            if (counts[i] != 0 && counts[i] <= counts[i - 1])
                at.push_back(i);
        return at;
    };
    EXPECT_EQ(restartsAt(story[1]).size(), 1u) << "the reset, and nothing else, starts the count again";
    EXPECT_EQ(std::count(story[1].begin(), story[1].end(), 0u), 0) << "host 1 never ended";
    EXPECT_EQ(std::count(story[2].begin(), story[2].end(), 0u), 1) << "one stop, one answer";
    EXPECT_EQ(restartsAt(story[3]).size(), 1u);
    EXPECT_EQ(std::count(story[3].begin(), story[3].end(), 0u), 0) << "a start over a run is no stop";
    EXPECT_EQ(story[9], std::vector<std::uint32_t>{0});
    for (RunId run : {1, 2, 3}) {
        const std::vector<ProbeEvent> probes = face_.probesOf(run);
        EXPECT_TRUE(std::all_of(probes.begin(), probes.end(), [](const ProbeEvent& p) { return p.good(); }));
    }
    // Observers hear the end of host 2's run and of host 3's replaced one; host 1 runs on.
    EXPECT_EQ(observer_.runEnds().size(), 2u);
}

TEST_P(ProbeHubInNamespace, OneThreadServesAHundredHosts) {
    hub_->startRun(1, hostSettings(loopback(1)));
    ASSERT_TRUE(face_.waitForProbes({1}, 1));
    const std::size_t threads = threadCount();
    std::vector<RunId> runs;
    for (std::uint8_t i = 0; i < 100; ++i) {
        const auto run = static_cast<RunId>(100 + i);
        hub_->startRun(run, hostSettings(loopback(static_cast<std::uint8_t>(i + 1), 1), 100));
        runs.push_back(run);
    }
    ASSERT_TRUE(face_.waitForProbes(runs, 2));
    EXPECT_EQ(threadCount(), threads);
    for (RunId run : runs)
        for (const ProbeEvent& p : face_.probesOf(run))
            ASSERT_TRUE(p.good()) << testing::PrintToString(p);
}

TEST_P(ProbeHubInNamespace, AnUnusableSourceFailsThatHostOnly) {
    RunSettings bad = hostSettings(loopback(2));
    bad.source = "ostrevo-none0";
    testing::internal::CaptureStderr();
    hub_->startRun(1, hostSettings(loopback(1)));
    hub_->startRun(2, bad);
    ASSERT_TRUE(face_.waitForProbes({1}, 3));
    const std::string complaint = testing::internal::GetCapturedStderr();
    EXPECT_NE(complaint.find("ostrevo-none0"), std::string::npos) << complaint;
    const auto entries = face_.entries();
    EXPECT_EQ(
        std::count_if(entries.begin(), entries.end(),
                      [](const auto& e) { return e.ended && e.event.run == 2 && e.end == RunEnd::ChannelFailed; }),
        1);
    EXPECT_TRUE(face_.probesOf(2).empty());
}

std::size_t openFiles() {
    std::size_t count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (const dirent* entry = readdir(dir))
            count += entry->d_name[0] != '.' ? 1 : 0;
        closedir(dir);
    }
    return count;
}

// Whoever controls the hosts may do so from several threads at once, in any order: every stop is answered,
// nothing is reported of a host after its last answer, and the hub serves on afterwards.
TEST_P(ProbeHubInNamespace, StormsOfCommandsFromSeveralThreadsLeaveItSound) {
    constexpr RunId kHosts = 40;
    constexpr int kCommandsPerThread = 3000;
    std::vector<std::thread> threads;
    std::atomic<std::size_t> stops{0};
    for (unsigned seed = 1; seed <= 4; ++seed) {
        threads.emplace_back([&, seed] {
            unsigned state = seed;
            for (int i = 0; i < kCommandsPerThread; ++i) {
                state = state * 1103515245u + 12345u;
                const auto run = static_cast<RunId>(1 + (state >> 8) % kHosts);
                switch ((state >> 20) % 4) {
                case 0:
                case 1:
                    hub_->startRun(run, hostSettings(loopback(static_cast<std::uint8_t>(run)), 0));
                    break;
                case 2:
                    hub_->stopRun(run);
                    ++stops;
                    break;
                default:
                    hub_->resetRun(run);
                }
            }
        });
    }
    for (std::thread& t : threads)
        t.join();
    for (RunId run = 1; run <= kHosts; ++run)
        hub_->stopRun(run);
    const std::size_t answers = stops + static_cast<std::size_t>(kHosts);
    const auto stoppedAnswers = [&] {
        const auto entries = face_.entries();
        return static_cast<std::size_t>(std::count_if(
            entries.begin(), entries.end(), [](const auto& e) { return e.ended && e.end == RunEnd::Stopped; }));
    };
    ASSERT_TRUE(face_.waitUntil([&] { return stoppedAnswers() >= answers; }));
    EXPECT_EQ(stoppedAnswers(), answers);
    const auto entries = face_.entries();
    for (RunId run = 1; run <= kHosts; ++run) {
        const auto last =
            std::find_if(entries.rbegin(), entries.rend(), [run](const auto& e) { return e.event.run == run; });
        ASSERT_NE(last, entries.rend());
        EXPECT_TRUE(last->ended) << "host " << run << " reported after its last stop";
    }
    hub_->startRun(99, hostSettings(loopback(99)));
    ASSERT_TRUE(face_.waitForProbes({99}, 2));
    for (const ProbeEvent& p : face_.probesOf(99))
        EXPECT_TRUE(p.good()) << testing::PrintToString(p);
}

// Thousands of hosts started and stopped at once: each is answered once, and the sockets they shared are given
// back with the last of them.
TEST_P(ProbeHubInNamespace, ThousandsOfHostsStartedAndStoppedAtOnceAreAllAnsweredAndLeaveNoSocket) {
    constexpr RunId kHosts = 3000;
    hub_->stopRun(0); // answered once the hub's thread waits for work, its own files made
    ASSERT_TRUE(face_.waitUntil([&] { return !face_.entries().empty(); }));
    const std::size_t filesBefore = openFiles();
    for (RunId run = 1; run <= kHosts; ++run) {
        const auto n = static_cast<std::uint32_t>(run);
        const IpAddress v4 = loopback(static_cast<std::uint8_t>(n % 250 + 1), static_cast<std::uint8_t>(n / 250));
        hub_->startRun(run, hostSettings(run % 3 == 0 ? IpAddress::parseV6("::1").value() : v4, 0));
    }
    for (RunId run = 1; run <= kHosts; ++run)
        hub_->stopRun(run);
    ASSERT_TRUE(face_.waitUntil([&] {
        const auto entries = face_.entries();
        return std::count_if(entries.begin(), entries.end(), [](const auto& e) { return e.ended; }) > kHosts;
    }));
    const auto entries = face_.entries();
    std::map<RunId, int> ends;
    for (const HubFace::Entry& e : entries)
        if (e.ended && e.event.run != 0)
            ++ends[e.event.run];
    EXPECT_EQ(ends.size(), static_cast<std::size_t>(kHosts));
    for (const auto& [run, count] : ends)
        EXPECT_EQ(count, 1) << "host " << run;
    EXPECT_EQ(openFiles(), filesBefore) << "a socket outlived its last host";
}

// A family the machine cannot reach at all (IPv6 switched off) fails that family's hosts, probe by probe, and
// nobody else's; their stops are answered as ever.
TEST_P(ProbeHubInNamespace, AFamilyWithoutAnyRouteFailsOnlyItsOwnHosts) {
    ASSERT_TRUE(ns_->sysctl("net.ipv6.conf.all.disable_ipv6", "1"));
    ASSERT_TRUE(ns_->sysctl("net.ipv6.conf.lo.disable_ipv6", "1"));
    hub_->startRun(1, hostSettings(loopback(1)));
    hub_->startRun(2, hostSettings(IpAddress::parseV6("::1").value()));
    hub_->startRun(3, hostSettings(IpAddress::parseV6("fd00::1").value()));
    ASSERT_TRUE(face_.waitForProbes({1, 2, 3}, 3));
    for (RunId run : {1, 2, 3})
        hub_->stopRun(run);
    ASSERT_TRUE(face_.waitUntil([&] {
        const auto entries = face_.entries();
        return std::count_if(entries.begin(), entries.end(), [](const auto& e) { return e.ended; }) >= 3;
    }));
    for (const ProbeEvent& p : face_.probesOf(1))
        EXPECT_TRUE(p.good()) << testing::PrintToString(p);
    for (RunId run : {2, 3})
        for (const ProbeEvent& p : face_.probesOf(run)) {
            EXPECT_EQ(p.status, static_cast<std::uint32_t>(IpStatus::GeneralFailure)) << testing::PrintToString(p);
            EXPECT_FALSE(p.answered());
        }
    for (const HubFace::Entry& e : face_.entries()) {
        if (e.ended) {
            EXPECT_EQ(e.end, RunEnd::Stopped) << "host " << e.event.run;
        }
    }
}

// A host whose address changes family while it runs (its name now resolves to IPv6): the fresh run probes the new
// address only, on the other family's socket, and the old one's socket goes with its last user.
TEST_P(ProbeHubInNamespace, AHostMovingToTheOtherFamilyProbesOnlyItsNewAddress) {
    hub_->stopRun(0); // answered once the hub's thread waits for work, its own files made
    ASSERT_TRUE(face_.waitUntil([&] { return !face_.entries().empty(); }));
    const std::size_t filesBefore = openFiles();
    hub_->startRun(5, hostSettings(loopback(5)));
    ASSERT_TRUE(face_.waitForProbes({5}, 2));
    const std::size_t beforeMove = face_.probesOf(5).size();
    hub_->startRun(5, hostSettings(IpAddress::parseV6("::1").value()));
    ASSERT_TRUE(face_.waitForProbes({5}, 3));
    hub_->stopRun(5);
    ASSERT_TRUE(face_.waitUntil([&] { return face_.entries().back().ended && face_.entries().back().event.run == 5; }));
    const std::vector<ProbeEvent> probes = face_.probesOf(5);
    ASSERT_GT(probes.size(), beforeMove);
    for (const ProbeEvent& p : probes) {
        EXPECT_TRUE(p.good()) << testing::PrintToString(p);
        EXPECT_EQ(p.replier, p.address) << "a reply to the old address counted for the new run";
    }
    const auto moved = std::find_if(probes.begin(), probes.end(), [](const auto& p) { return p.address == "::1"; });
    EXPECT_TRUE(std::all_of(moved, probes.end(), [](const auto& p) { return p.address == "::1"; }))
        << "the old address was probed after the move";
    EXPECT_EQ(probes.back().address, "::1");
    EXPECT_EQ(openFiles(), filesBefore) << "a socket outlived its last host";
}

// Each host's time to live goes with its own requests: two hosts probing the same far address through one socket,
// one with TTL 1 and one with TTL 64, turn and turn about. The first always hears from the first router that its
// request expired, the second always reaches the server, in both families.
TEST_P(ProbeHubInNamespace, HostsSharingASocketKeepTheirOwnTimeToLive) {
    RouterChain chain("hubttl", 2);
    if (!chain.ok())
        GTEST_SKIP() << chain.error();
    ASSERT_TRUE(chain.client().allowPingSockets());
    HubFace face;
    std::unique_ptr<ProbeHub> hub;
    {
        NetNamespace::Entered inside(chain.client());
        ASSERT_TRUE(inside.ok());
        hub = std::make_unique<ProbeHub>(face, nullptr,
                                         GetParam() == Kind::Raw ? IcmpSocket::Preference::RawOnly
                                                                 : IcmpSocket::Preference::DatagramOnly);
        hub->start();
    }
    using Family = RouterChain::Family;
    for (const Family family : {Family::V4, Family::V6}) {
        SCOPED_TRACE(family == Family::V4 ? "IPv4" : "IPv6");
        const std::string server = chain.serverAddress(family);
        const IpAddress far =
            family == Family::V4 ? IpAddress::v4(inet_addr(server.c_str())) : IpAddress::parseV6(server).value();
        const RunId base = family == Family::V4 ? 10 : 20;
        RunSettings near = hostSettings(far, 20);
        near.timeoutMs = 1000;
        near.ttl = 1;
        RunSettings through = near;
        through.ttl = 64;
        hub->startRun(base + 1, near);
        hub->startRun(base + 2, through);
        ASSERT_TRUE(face.waitForProbes({base + 1, base + 2}, 8));
        hub->stopRun(base + 1);
        hub->stopRun(base + 2);
        for (const ProbeEvent& p : face.probesOf(base + 1)) {
            EXPECT_EQ(p.status, static_cast<std::uint32_t>(IpStatus::TtlExpiredTransit)) << testing::PrintToString(p);
            EXPECT_EQ(p.replier, RouterChain::hopAddress(1, family));
        }
        for (const ProbeEvent& p : face.probesOf(base + 2)) {
            EXPECT_TRUE(p.good()) << testing::PrintToString(p);
            EXPECT_EQ(p.replier, far.text());
        }
    }
    hub.reset();
}

// The TOS byte (IPv6: traffic class) goes with each request on the kernel's socket, in both families: the
// namespace drops echo requests marked EF, so only the hosts that mark theirs lose every one.
TEST_P(ProbeHubInNamespace, HostsSharingASocketKeepTheirOwnTos) {
    std::string complaint;
    ASSERT_TRUE(ns_->nft("table inet ostrevo_test {\n chain input {\n type filter hook input priority 0;\n"
                         " ip dscp ef icmp type echo-request drop\n"
                         " ip6 dscp ef icmpv6 type echo-request drop\n"
                         " }\n}\n",
                         &complaint))
        << complaint;
    const IpAddress v6 = IpAddress::parseV6("::1").value();
    const std::vector<std::pair<IpAddress, std::uint8_t>> hosts{
        {loopback(1), 0}, {loopback(1), 0xb8}, {v6, 0}, {v6, 0xb8}};
    for (RunId run = 1; run <= hosts.size(); ++run) {
        RunSettings settings = hostSettings(hosts[run - 1].first, 20);
        settings.tos = hosts[run - 1].second;
        hub_->startRun(run, settings);
    }
    ASSERT_TRUE(face_.waitForProbes({1, 2, 3, 4}, 3));
    for (RunId run = 1; run <= hosts.size(); ++run)
        hub_->stopRun(run);
    for (RunId run = 1; run <= hosts.size(); ++run) {
        SCOPED_TRACE(hosts[run - 1].first.text() + " tos " + std::to_string(hosts[run - 1].second));
        for (const ProbeEvent& p : face_.probesOf(run))
            EXPECT_EQ(p.good(), hosts[run - 1].second == 0) << testing::PrintToString(p);
    }
}

INSTANTIATE_TEST_SUITE_P(BothSocketKinds, ProbeHubInNamespace, testing::Values(Kind::Datagram, Kind::Raw), kindName);

} // namespace
