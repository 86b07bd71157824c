#include <gtest/gtest.h>

#include "LedgerFixture.h"
#include "history/HistoryRecorder.h"
#include "history/PendingLog.h"

namespace {

constexpr std::int64_t kT0 = 1'796'684'400'000; // a whole hour

// One probe of a run as the engine reports it: `rttUs` none is a timeout.
ProbeEvent event(RunId run, const char* host, std::int64_t atMs, std::optional<std::uint32_t> rttUs,
                 HostStatus status) {
    ProbeEvent e;
    e.run = run;
    e.unixMs = atMs;
    e.host = host;
    e.address = "127.0.0." + std::to_string(run);
    if (rttUs) {
        e.replier = e.address;
        e.rttUs = rttUs;
        e.ttl = 64;
    } else {
        e.status = 11010;
    }
    e.hostStatus = status;
    return e;
}

constexpr HostStatus kGood = HostStatus::Good, kAverage = HostStatus::Average, kBad = HostStatus::Bad;

// Three runs reporting in turn through one recorder, as the engine's one thread tells them: each host's
// outages, status changes and run end stay its own.
TEST(LedgerOfSeveralHosts, InterleavedRunsKeepTheirOutagesAndStatusesApart) {
    TempDir dir;
    ProblemLog problems;
    auto ledger = std::make_shared<HistoryLedger>(ledgerOptions(dir.file("history.sqlite"), problems));
    HistoryRecorder recorder(ledger);
    const struct {
        std::int64_t at;
        std::optional<std::uint32_t> web, db, dns; // rtt of each run's probe at `at`
        HostStatus webStatus, dbStatus, dnsStatus;
    } turns[] = {
        {0, 500, 700, 900, kGood, kGood, kGood},
        {1000, 500, std::nullopt, 900, kGood, kGood, kGood},
        {2000, 500, std::nullopt, std::nullopt, kGood, kAverage, kGood},
        {3000, 500, std::nullopt, std::nullopt, kGood, kBad, kAverage},
        {4000, 500, std::nullopt, std::nullopt, kGood, kBad, kBad},
        {5000, 500, std::nullopt, 900, kGood, kBad, kBad},
        {6000, 500, 700, 900, kGood, kBad, kGood},
    };
    for (const auto& t : turns) {
        // Not always in the same order: the engine tells whichever host is due first.
        if (t.at % 2000 == 0)
            recorder.probed(event(3, "dns.test", kT0 + t.at + 2, t.dns, t.dnsStatus));
        recorder.probed(event(1, "web.test", kT0 + t.at, t.web, t.webStatus));
        recorder.probed(event(2, "db.test", kT0 + t.at + 1, t.db, t.dbStatus));
        if (t.at % 2000 != 0)
            recorder.probed(event(3, "dns.test", kT0 + t.at + 2, t.dns, t.dnsStatus));
    }
    // db's run is stopped while it is still Bad; the others go on.
    recorder.runEnded(2, kT0 + 6500);
    recorder.runEnded(9, kT0 + 6600); // a run that never probed ends nothing
    recorder.probed(event(1, "web.test", kT0 + 7000, 500, kGood));
    recorder.probed(event(3, "dns.test", kT0 + 7002, std::nullopt, kBad));
    ASSERT_TRUE(ledger->flush(kPatience));

    const std::int64_t to = kT0 + 10'000;
    EXPECT_TRUE(ledger->outages("web.test", kT0, to).empty());
    EXPECT_EQ(ledger->statusChanges("web.test", kT0, to), (std::vector<StatusChange>{{kT0, 3}}));

    // From its first lost probe to its first reply, though the status was still Bad when its run ended.
    EXPECT_EQ(ledger->outages("db.test", kT0, to),
              (std::vector<Outage>{{"db.test", "127.0.0.2", kT0 + 1001, kT0 + 6001, 11010, kT0 + 1001, kT0 + 3001}}));
    EXPECT_EQ(ledger->statusChanges("db.test", kT0, to),
              (std::vector<StatusChange>{{kT0 + 1, 3}, {kT0 + 2001, 2}, {kT0 + 3001, 1}, {kT0 + 6500, 0}}));

    // Its own outage closed by its own first reply, and a new one still open: db's end did not close it.
    const std::vector<Outage> dns = ledger->outages("dns.test", kT0, to);
    ASSERT_EQ(dns.size(), 2u);
    EXPECT_EQ(dns[0], (Outage{"dns.test", "127.0.0.3", kT0 + 2002, kT0 + 5002, 11010, kT0 + 2002, kT0 + 4002}));
    EXPECT_EQ(dns[1].startMs, kT0 + 7002);
    EXPECT_EQ(dns[1].endMs, std::nullopt);
    EXPECT_EQ(
        ledger->statusChanges("dns.test", kT0, to),
        (std::vector<StatusChange>{{kT0 + 2, 3}, {kT0 + 3002, 2}, {kT0 + 4002, 1}, {kT0 + 6002, 3}, {kT0 + 7002, 1}}));

    EXPECT_EQ(ledger->summary("web.test", kT0, to).sent(), 8u);
    EXPECT_EQ(ledger->summary("db.test", kT0, to).lost(), 5u);
    EXPECT_EQ(ledger->summary("dns.test", kT0, to).lost(), 4u);
    EXPECT_EQ(ledger->hosts(), (std::vector<std::string>{"db.test", "dns.test", "web.test"}));

    // Every run ends: each closes only what is its own.
    recorder.runEnded(1, kT0 + 8000);
    recorder.runEnded(3, kT0 + 8500);
    ASSERT_TRUE(ledger->flush(kPatience));
    EXPECT_EQ(ledger->statusChanges("web.test", kT0 + 7500, to),
              (std::vector<StatusChange>{{kT0, 3}, {kT0 + 8000, 0}}));
    EXPECT_EQ(ledger->outages("dns.test", kT0 + 7500, to).at(0).endMs, kT0 + 8500);
    EXPECT_EQ(ledger->statusChanges("db.test", kT0 + 7500, to), (std::vector<StatusChange>{{kT0 + 6500, 0}}));
    EXPECT_TRUE(problems.messages().empty());
}

// A run started again on another host with no end reported in between ends the first host's run there.
TEST(LedgerOfSeveralHosts, ARunMovedToAnotherHostEndsTheFirstOnesRun) {
    TempDir dir;
    ProblemLog problems;
    auto ledger = std::make_shared<HistoryLedger>(ledgerOptions(dir.file("history.sqlite"), problems));
    HistoryRecorder recorder(ledger);
    recorder.probed(event(1, "old.test", kT0, std::nullopt, kBad));
    recorder.probed(event(1, "new.test", kT0 + 1000, 500, kGood));
    ASSERT_TRUE(ledger->flush(kPatience));
    EXPECT_EQ(ledger->outages("old.test", kT0, kT0 + 5000).at(0).endMs, kT0 + 1000);
    EXPECT_EQ(ledger->statusChanges("old.test", kT0, kT0 + 5000),
              (std::vector<StatusChange>{{kT0, 1}, {kT0 + 1000, 0}}));
    EXPECT_EQ(ledger->statusChanges("new.test", kT0, kT0 + 5000), (std::vector<StatusChange>{{kT0 + 1000, 3}}));
}

TEST(LedgerOfSeveralHosts, AHostsRunEndSurvivesTheLogAndOldLogsStillEndEveryRun) {
    LedgerEntry hostEnd{probe(kT0 + 5, std::nullopt), true};
    hostEnd.sample = ProbeSample{};
    hostEnd.sample.atMs = kT0 + 5;
    hostEnd.sample.host = "db.test";
    LedgerEntry allEnd = hostEnd;
    allEnd.sample.host.clear();
    const std::vector<LedgerEntry> entries = {
        {probe(kT0, 500, 3, "db.test"), false}, hostEnd, {probe(kT0 + 6, 500, 3, "db.test"), false}, allEnd};
    std::string bytes;
    const ProbeSample* previous = nullptr;
    for (const LedgerEntry& e : entries) {
        PendingLog::encode(e, previous, bytes);
        if (!e.runEnd)
            previous = &e.sample;
    }
    const std::vector<LedgerEntry> back = PendingLog::decode(bytes);
    ASSERT_EQ(back.size(), entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        EXPECT_EQ(back[i].sample, entries[i].sample) << i;
        EXPECT_EQ(back[i].runEnd, entries[i].runEnd) << i;
    }
    // A host's run end cut short is dropped, not read as the end of every run.
    std::string one;
    PendingLog::encode(hostEnd, nullptr, one);
    EXPECT_TRUE(PendingLog::decode(one.substr(0, one.size() - 2)).empty());
}

} // namespace
