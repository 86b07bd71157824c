// ostrevod as its users start it: the flags, --config.check on good and bad files, a bad file at start, the web
// layer, and the targets it watches in a private namespace through reloads.

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "support/LaunchedProgram.h"
#include "support/NetNamespace.h"
#include "support/PrometheusParser.h"
#include "support/RouterChain.h"
#include "support/ShellCommand.h"
#include "support/TempDir.h"

namespace {

std::string ostrevod() {
    const char* dir = std::getenv("OSTREVO_BINARY_DIR");
    return std::string(dir != nullptr ? dir : ".") + "/service/ostrevod";
}

ShellCommand run(const std::string& arguments) {
    return ShellCommand::run("timeout 20 " + shellQuoted(ostrevod()) + " " + arguments);
}

void write(const std::string& path, const std::string& text) {
    std::ofstream(path) << text;
}

std::string readAll(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// A loopback port nobody listens on right now.
int freePort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

// "CODE BODY" of one curl request; CODE is 000 when no HTTP answer came.
ShellCommand curl(const std::string& arguments) {
    return ShellCommand::run("curl -s --max-time 10 -w ' %{http_code}' " + arguments);
}

bool waitFor(const std::function<bool()>& condition, int tenthsOfASecond = 100) {
    for (int i = 0; i < tenthsOfASecond; ++i) {
        if (condition())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

// "prom" with the password "s3cret", at bcrypt's lowest cost.
constexpr const char* kHash = "$2b$04$kBqiu1LK0c0xZ7sM85JY7Oa/8oi0gUQikA.hCUgogUkr4VDYd8lX.";

TEST(OstrevodEndToEnd, FlagsAnswerAndMistakesExitWithTwo) {
    const ShellCommand version = run("--version");
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.output, "ostrevod " OSTREVO_VERSION "\n");

    const ShellCommand help = run("--help");
    EXPECT_EQ(help.exitCode, 0);
    for (const char* flag : {"--config.file=PATH", "--config.check", "--web.listen-address=ADDR:PORT",
                             "--web.config.file=PATH", "--history.path=PATH", "--log.level=LEVEL", "--version"}) {
        EXPECT_NE(help.output.find(flag), std::string::npos) << flag;
    }

    const ShellCommand wrong = run("--config.fiel=x");
    EXPECT_EQ(wrong.exitCode, 2);
    EXPECT_EQ(wrong.output, "ostrevod: unknown option --config.fiel\nTry 'ostrevod --help' for more information.\n");
}

TEST(OstrevodEndToEnd, ConfigCheckListsEveryProblemWithItsPlace) {
    const TempDir dir;
    const std::string good = dir.file("good.yml");
    write(good, "targets:\n  - hosts: [127.0.0.1, ::1]\n  - {name: jumbo, host: 127.0.0.1, size: 1472}\n");
    const ShellCommand ok = run("--config.check --config.file=" + shellQuoted(good));
    EXPECT_EQ(ok.exitCode, 0) << ok.output;
    EXPECT_EQ(ok.output, good + ": good, 3 targets\n");

    const std::string bad = dir.file("bad.yml");
    write(bad, "targets:\n  - host: 127.0.0.1\n    ttl: 256\n    colour: red\n");
    const ShellCommand refused = run("--config.file " + shellQuoted(bad) + " --config.check");
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_NE(refused.output.find(bad + ":3:10: ttl: \"256\" is out of range: from 1 to 255\n"), std::string::npos)
        << refused.output;
    EXPECT_NE(refused.output.find(bad + ":4:5: unknown key \"colour\""), std::string::npos) << refused.output;
    EXPECT_NE(refused.output.find(bad + ": 2 problems\n"), std::string::npos) << refused.output;

    const ShellCommand missing = run("--config.check --config.file=" + shellQuoted(dir.file("none.yml")));
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_NE(missing.output.find("none.yml: cannot read: No such file or directory"), std::string::npos);

    // Nothing starts on a bad file: the service says why in its log and exits.
    const ShellCommand start =
        run("--history.path= --web.listen-address=127.0.0.1:1 --config.file=" + shellQuoted(bad));
    EXPECT_EQ(start.exitCode, 1);
    EXPECT_NE(start.output.find(" level=error msg=\"bad config file\" problem=\"" + bad + ":3:10: ttl: \\\"256\\\""),
              std::string::npos)
        << start.output;
}

TEST(OstrevodEndToEnd, TlsBasicAuthHealthAndReloads) {
    if (ShellCommand::run("command -v curl && command -v openssl").exitCode != 0)
        GTEST_SKIP() << "needs curl and openssl";
    const TempDir dir;
    const ShellCommand certificate = ShellCommand::run(
        "cd " + shellQuoted(dir.path()) +
        " && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout key.pem -out cert.pem"
        " -days 2 -subj /CN=localhost -addext subjectAltName=IP:127.0.0.1");
    ASSERT_EQ(certificate.exitCode, 0) << certificate.output;
    // Relative paths: taken from the web config's folder.
    write(dir.file("web.yml"), std::string("tls_server_config:\n  cert_file: cert.pem\n  key_file: key.pem\n"
                                           "basic_auth_users:\n  prom: ") +
                                   kHash + "\n");
    const std::string config = dir.file("ostrevod.yml");
    write(config, "targets:\n  - hosts: [127.0.0.1]\n");

    const int port = freePort();
    const std::string log = dir.file("log");
    LaunchedProgram service({ostrevod(), "--config.file=" + config, "--web.config.file=" + dir.file("web.yml"),
                             "--web.listen-address=127.0.0.1:" + std::to_string(port), "--history.path="},
                            {"PATH=/usr/bin:/bin"}, -1, log);
    const std::string url = "https://127.0.0.1:" + std::to_string(port);
    const std::string tls = "--cacert " + shellQuoted(dir.file("cert.pem")) + " ";
    const std::string right = tls + "-u prom:s3cret ";
    ASSERT_TRUE(waitFor([&] { return curl(tls + url + "/metrics").output.ends_with(" 401"); })) << readAll(log);

    // Nobody gets in without the right name and password, over TLS only.
    EXPECT_TRUE(curl(tls + "-u prom:wrong " + url + "/metrics").output.ends_with(" 401"));
    EXPECT_TRUE(curl(tls + "-u nobody:s3cret " + url + "/metrics").output.ends_with(" 401"));
    const ShellCommand plain = curl("http://127.0.0.1:" + std::to_string(port) + "/metrics");
    EXPECT_NE(plain.exitCode, 0);
    EXPECT_TRUE(plain.output.ends_with(" 000")) << plain.output;
    const ShellCommand metrics = curl(right + url + "/metrics");
    EXPECT_TRUE(metrics.output.ends_with(" 200")) << metrics.output;
    EXPECT_NE(metrics.output.find("\nostrevod_config_last_reload_successful 1\n"), std::string::npos);
    EXPECT_NE(metrics.output.find("\nostrevod_targets{state=\"configured\"} 1\n"), std::string::npos);
    EXPECT_EQ(curl(right + url + "/-/healthy").output, "Healthy.\n 200");
    EXPECT_EQ(curl(right + url + "/-/ready").output, "Ready.\n 200");

    // A bad file at reload keeps the running set and says why; a good one is taken, by POST or by SIGHUP.
    write(config, "targets:\n  - hosts: [127.0.0.1]\n    ttl: 0\n");
    const ShellCommand refused = curl(right + "-X POST " + url + "/-/reload");
    EXPECT_TRUE(refused.output.ends_with(" 500")) << refused.output;
    EXPECT_NE(refused.output.find(config + ":3:10: ttl:"), std::string::npos) << refused.output;
    const std::string after = curl(right + url + "/metrics").output;
    EXPECT_NE(after.find("\nostrevod_config_last_reload_successful 0\n"), std::string::npos);
    EXPECT_NE(after.find("\nostrevod_targets{state=\"configured\"} 1\n"), std::string::npos);

    write(config, "targets:\n  - hosts: [127.0.0.1, 127.0.0.2]\n");
    EXPECT_EQ(curl(right + "-X POST " + url + "/-/reload").output, "Reloaded.\n 200");
    write(config, "targets:\n  - hosts: [127.0.0.1, 127.0.0.2, 127.0.0.3]\n");
    service.signal(SIGHUP);
    EXPECT_TRUE(waitFor([&] {
        return curl(right + url + "/metrics").output.find("ostrevod_targets{state=\"configured\"} 3\n") !=
               std::string::npos;
    }));

    service.signal(SIGTERM);
    EXPECT_EQ(service.waitExit(std::chrono::seconds(10)), 0);
    const std::string lines = readAll(log);
    EXPECT_NE(lines.find(" level=info msg=\"serving metrics\" address=127.0.0.1:" + std::to_string(port) +
                         " tls=true basic_auth=true\n"),
              std::string::npos)
        << lines;
    EXPECT_NE(lines.find(" level=error msg=\"bad config file; the running targets stay\" problem="), std::string::npos);
    EXPECT_NE(lines.find(" msg=\"config reloaded\" file=" + config + " targets=2 trigger=http\n"), std::string::npos);
    EXPECT_NE(lines.find(" targets=3 trigger=SIGHUP\n"), std::string::npos) << lines;
    EXPECT_NE(lines.find(" level=info msg=stopping signal=SIGTERM\n"), std::string::npos);
}

TEST(OstrevodEndToEnd, ClientCertificatesAreCheckedAgainstTheClientCa) {
    if (ShellCommand::run("command -v curl && command -v openssl").exitCode != 0)
        GTEST_SKIP() << "needs curl and openssl";
    const TempDir dir;
    const std::string make = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 ";
    const ShellCommand made =
        ShellCommand::run("cd " + shellQuoted(dir.path()) + " && " + make +
                          "-keyout key.pem -out cert.pem -subj /CN=localhost -addext subjectAltName=IP:127.0.0.1 && " +
                          make + "-keyout client-key.pem -out client.pem -subj /CN=prometheus && " + make +
                          "-keyout stranger-key.pem -out stranger.pem -subj /CN=stranger");
    ASSERT_EQ(made.exitCode, 0) << made.output;
    write(dir.file("web.yml"), "tls_server_config:\n  cert_file: cert.pem\n  key_file: key.pem\n"
                               "  client_ca_file: client.pem\n  client_auth_type: RequireAndVerifyClientCert\n"
                               "  min_version: TLS13\n");
    write(dir.file("ostrevod.yml"), "");
    const int port = freePort();
    const std::string log = dir.file("log");
    LaunchedProgram service({ostrevod(), "--config.file=" + dir.file("ostrevod.yml"),
                             "--web.config.file=" + dir.file("web.yml"),
                             "--web.listen-address=127.0.0.1:" + std::to_string(port), "--history.path="},
                            {"PATH=/usr/bin:/bin"}, -1, log);
    const std::string url = "https://127.0.0.1:" + std::to_string(port) + "/-/healthy";
    const std::string tls = "--cacert " + shellQuoted(dir.file("cert.pem")) + " ";
    const auto as = [&](const std::string& name) {
        return curl(tls + "--cert " + shellQuoted(dir.file(name + ".pem")) + " --key " +
                    shellQuoted(dir.file(name + "-key.pem")) + " " + url)
            .output;
    };
    ASSERT_TRUE(waitFor([&] { return as("client") == "Healthy.\n 200"; })) << readAll(log);
    EXPECT_TRUE(curl(tls + url).output.ends_with(" 000"));                    // no certificate
    EXPECT_TRUE(as("stranger").ends_with(" 000"));                            // one the client CA did not sign
    EXPECT_TRUE(curl(tls + "--tls-max 1.2 " + url).output.ends_with(" 000")); // below min_version
    EXPECT_EQ(as("client"), "Healthy.\n 200"); // the refused handshakes left the server serving
    service.signal(SIGTERM);
    EXPECT_EQ(service.waitExit(std::chrono::seconds(10)), 0);
}

// The value of one sample line ("name{labels}" as written), -1 when the scrape has none.
double sampleValue(const std::string& scrape, const std::string& sample) {
    const std::size_t at = scrape.find("\n" + sample + " ");
    return at == std::string::npos ? -1 : std::stod(scrape.substr(at + sample.size() + 2));
}

std::string series(const std::string& name, const std::string& host, const std::string& more = "") {
    return name + "{host=\"" + host + "\",address=\"" + host + "\"" + more + "}";
}

// The service in a namespace of its own (so that 127.0.0.3 may be dead and nothing leaves the machine) watching
// live, dead and unresolvable targets; its series per target with their labels, in a text that Prometheus'
// own tools accept and a real Prometheus scrapes; a reload that keeps the unchanged targets counting and drops the
// removed ones; a bad file that changes nothing; the history beside it.
TEST(OstrevodEndToEnd, WatchesItsTargetsAndAReloadKeepsTheUnchangedOnesCounting) {
    if (const std::string why = NetNamespace::unavailableReason(); !why.empty())
        GTEST_SKIP() << why;
    if (ShellCommand::run("command -v curl").exitCode != 0)
        GTEST_SKIP() << "needs curl";
    NetNamespace ns("svc");
    ASSERT_TRUE(ns.ok()) << ns.error();
    ASSERT_TRUE(ns.nft(NetNamespace::inputRule("ip daddr 127.0.0.3 icmp type echo-request drop")));
    const TempDir dir;
    const std::string config = dir.file("ostrevod.yml");
    const std::string kept = "targets:\n  - hosts: [127.0.0.1]\n    interval: 100ms\n    labels: {site: lab}\n"
                             "  - {name: jumbo, host: 127.0.0.1, size: 1472, interval: 100ms}\n";
    write(config, kept + "  - hosts: [127.0.0.2]\n    interval: 100ms\n    labels: {site: lab}\n"
                         "  - {name: dead, host: 127.0.0.3, interval: 100ms, timeout: 200ms, route_rounds: 0}\n"
                         "  - host: nowhere.invalid\n");
    const std::string log = dir.file("log");
    std::vector<std::string> argv = ns.execPrefix();
    const ShellCommand ip = ShellCommand::run("command -v ip");
    argv.front() = ip.exitCode == 0 ? ip.output.substr(0, ip.output.find('\n')) : "/sbin/ip";
    for (const std::string& argument :
         std::vector<std::string>{ostrevod(), "--config.file=" + config, "--web.listen-address=127.0.0.1:9464",
                                  "--history.path=" + dir.file("history.sqlite")})
        argv.push_back(argument);
    LaunchedProgram service(argv, {"PATH=/usr/bin:/bin"}, -1, log);
    const auto scrape = [&] {
        return ShellCommand::run("ip netns exec " + ns.name() + " curl -s --max-time 10 http://127.0.0.1:9464/metrics")
            .output;
    };
    const std::string live = series("ostrevo_probe_requests_total", "127.0.0.1", ",site=\"lab\"");
    const std::string dead = series("ostrevo_host_status", "127.0.0.3", ",target=\"dead\",status=\"bad\"");
    std::string text;
    ASSERT_TRUE(waitFor([&] {
        text = scrape();
        return sampleValue(text, live) >= 5 && sampleValue(text, dead) == 1;
    })) << text
        << readAll(log);

    EXPECT_EQ(sampleValue(text, series("ostrevo_probe_lost_total", "127.0.0.1", ",site=\"lab\"")), 0) << text;
    EXPECT_GE(sampleValue(text, series("ostrevo_probe_requests_total", "127.0.0.2", ",site=\"lab\"")), 1);
    EXPECT_GE(sampleValue(text, series("ostrevo_probe_requests_total", "127.0.0.1", ",target=\"jumbo\"")), 1);
    EXPECT_EQ(sampleValue(text, series("ostrevo_probe_requests_total", "127.0.0.3", ",target=\"dead\"")),
              sampleValue(text, series("ostrevo_probe_lost_total", "127.0.0.3", ",target=\"dead\"")));
    EXPECT_GE(sampleValue(text, "ostrevo_resolve_errors_total{host=\"nowhere.invalid\"}"), 1) << text;
    EXPECT_EQ(sampleValue(text, "ostrevo_host_status{host=\"nowhere.invalid\",address=\"\",status=\"unknown\"}"), 1);
    EXPECT_EQ(sampleValue(text, "ostrevod_targets{state=\"configured\"}"), 5);
    EXPECT_EQ(sampleValue(text, "ostrevod_targets{state=\"running\"}"), 4);
    if (prometheusClientInstalled()) {
        EXPECT_EQ(parseExposition(text).exitCode, 0) << text;
    }
    if (ShellCommand::run("command -v promtool").exitCode == 0) {
        write(dir.file("scrape.txt"), text);
        const ShellCommand lint = ShellCommand::run("promtool check metrics < " + shellQuoted(dir.file("scrape.txt")));
        EXPECT_EQ(lint.exitCode, 0) << lint.output;
    }

    // A real Prometheus scrapes it and sees each target with its labels.
    if (ShellCommand::run("command -v prometheus").exitCode == 0) {
        write(dir.file("prometheus.yml"), "global: {scrape_interval: 1s, scrape_timeout: 1s}\n"
                                          "scrape_configs:\n  - job_name: ostrevod\n"
                                          "    static_configs: [{targets: ['127.0.0.1:9464']}]\n");
        std::vector<std::string> server = ns.execPrefix();
        server.front() = argv.front();
        for (const std::string& argument :
             std::vector<std::string>{"/usr/bin/prometheus", "--config.file=" + dir.file("prometheus.yml"),
                                      "--storage.tsdb.path=" + dir.file("tsdb"), "--web.listen-address=127.0.0.1:9090"})
            server.push_back(argument);
        LaunchedProgram prometheus(server, {"PATH=/usr/bin:/bin"}, -1, dir.file("prometheus.log"));
        const auto query = [&](const std::string& promql) {
            return ShellCommand::run("ip netns exec " + ns.name() +
                                     " curl -s --max-time 5 http://127.0.0.1:9090/api/v1/query --data-urlencode " +
                                     shellQuoted("query=" + promql))
                .output;
        };
        std::string answer;
        EXPECT_TRUE(waitFor([&] {
            answer = query("ostrevo_host_status{target=\"dead\",status=\"bad\"} + on() group_left() "
                           "count(ostrevo_probe_requests_total{site=\"lab\"} > 0)");
            return answer.find(",\"3\"]") != std::string::npos;
        })) << answer
            << readAll(dir.file("prometheus.log"));
        prometheus.signal(SIGTERM);
        EXPECT_EQ(prometheus.waitExit(std::chrono::seconds(10)), 0);
    }

    // 127.0.0.2 and the dead one go, 127.0.0.4 comes; the unchanged targets count on from where they were.
    // Counted far enough that a run started again could not have caught up by the time the new target shows.
    write(config, kept + "  - {host: 127.0.0.4, interval: 100ms}\n");
    double before = 0;
    ASSERT_TRUE(waitFor([&] { return (before = sampleValue(scrape(), live)) >= 40; }));
    service.signal(SIGHUP);
    const std::string added = series("ostrevo_probe_requests_total", "127.0.0.4");
    ASSERT_TRUE(waitFor([&] {
        text = scrape();
        return sampleValue(text, added) >= 1;
    })) << text;
    EXPECT_GE(sampleValue(text, live), before) << "an unchanged target's counters went back";
    EXPECT_EQ(text.find("127.0.0.2"), std::string::npos) << text;
    EXPECT_EQ(text.find("127.0.0.3"), std::string::npos) << text;
    EXPECT_EQ(text.find("nowhere.invalid"), std::string::npos) << text;
    EXPECT_EQ(sampleValue(text, "ostrevod_targets{state=\"configured\"}"), 3);

    // A bad file changes nothing: every target runs on.
    write(config, kept + "  - {host: 127.0.0.4, interval: 100ms, size: -1}\n");
    EXPECT_TRUE(ShellCommand::run("ip netns exec " + ns.name() +
                                  " curl -s -o /dev/null -w '%{http_code}' -X POST http://127.0.0.1:9464/-/reload")
                    .output.ends_with("500"));
    const double added4 = sampleValue(scrape(), added);
    ASSERT_TRUE(waitFor([&] {
        text = scrape();
        return sampleValue(text, added) > added4 + 2;
    })) << text;
    EXPECT_EQ(sampleValue(text, "ostrevod_config_last_reload_successful"), 0);
    EXPECT_EQ(sampleValue(text, "ostrevod_targets{state=\"running\"}"), 3);

    service.signal(SIGTERM);
    EXPECT_EQ(service.waitExit(std::chrono::seconds(10)), 0);
    const std::string lines = readAll(log);
    EXPECT_NE(lines.find(" level=warn msg=\"host down\" host=127.0.0.3 target=dead address=127.0.0.3 status=bad\n"),
              std::string::npos)
        << lines;
    EXPECT_NE(lines.find(" level=warn msg=\"cannot resolve host\" host=nowhere.invalid\n"), std::string::npos);
    if (ShellCommand::run("command -v sqlite3").exitCode == 0) {
        const ShellCommand kept = ShellCommand::run(
            "sqlite3 " + shellQuoted(dir.file("history.sqlite")) +
            " 'SELECT host FROM hosts ORDER BY host; SELECT count(*) > 0 FROM samples WHERE host = \"127.0.0.4\";'");
        EXPECT_EQ(kept.output, "127.0.0.1\n127.0.0.2\n127.0.0.3\n127.0.0.4\n1\n");
    }
}

// Behind a chain of two routers, the second starts dropping all it forwards: the target goes Bad, its route is
// traced (only that of the target that asks for traces), and the hop where loss begins is in the scrape, the
// log and the ledger. Its path, watched, is kept in the scrape all along.
TEST(OstrevodEndToEnd, ATargetGoneBadHasItsRouteTracedIntoTheScrapeAndTheLedger) {
    RouterChain chain("svcroute", 2);
    if (!chain.ok())
        GTEST_SKIP() << chain.error();
    if (ShellCommand::run("command -v curl").exitCode != 0)
        GTEST_SKIP() << "needs curl";
    const TempDir dir;
    const std::string server = chain.serverAddress();
    const std::string target = "{host: " + server + ", interval: 200ms, timeout: 300ms";
    write(dir.file("ostrevod.yml"), "targets:\n  - " + target +
                                        ", name: far, route_rounds: 2, path_watch: {interval: 10s, rounds: 1}}\n  - " +
                                        target + ", name: untraced, route_rounds: 0}\n");
    std::vector<std::string> argv = chain.client().execPrefix();
    const ShellCommand ip = ShellCommand::run("command -v ip");
    argv.front() = ip.exitCode == 0 ? ip.output.substr(0, ip.output.find('\n')) : "/sbin/ip";
    for (const std::string& argument :
         std::vector<std::string>{ostrevod(), "--config.file=" + dir.file("ostrevod.yml"),
                                  "--web.listen-address=127.0.0.1:9464", "--history.path=" + dir.file("h.sqlite")})
        argv.push_back(argument);
    const std::string log = dir.file("log");
    LaunchedProgram service(argv, {"PATH=/usr/bin:/bin"}, -1, log);
    const auto scrape = [&] {
        return ShellCommand::run("ip netns exec " + chain.client().name() +
                                 " curl -s --max-time 10 http://127.0.0.1:9464/metrics")
            .output;
    };
    const std::string labels = "{host=\"" + server + "\",address=\"" + server + "\",target=\"";
    ASSERT_TRUE(waitFor([&] {
        return scrape().find("ostrevo_host_status" + labels + "far\",status=\"good\"} 1\n") != std::string::npos;
    })) << scrape()
        << readAll(log);

    // The watched path is traced beside the probes: two routers and the server, for the target that asks.
    const std::string hops = "ostrevo_route_hops" + labels;
    std::string before;
    EXPECT_TRUE(waitFor(
        [&] {
            before = scrape();
            return before.find(hops + "far\"} 3\n") != std::string::npos;
        },
        300))
        << before << readAll(log);
    EXPECT_EQ(before.find(hops + "untraced"), std::string::npos) << before;

    std::string complaint;
    ASSERT_TRUE(chain.router(2).nft("table ip t {\n chain c {\n  type filter hook forward priority 0;\n  drop\n }\n}\n",
                                    &complaint))
        << complaint;
    const std::string gauge = "ostrevo_route_loss_begins_hop" + labels + "far\"} 3\n";
    std::string text;
    EXPECT_TRUE(waitFor(
        [&] {
            text = scrape();
            return text.find(gauge) != std::string::npos;
        },
        600))
        << text << readAll(log);
    EXPECT_EQ(text.find("ostrevo_route_loss_begins_hop" + labels + "untraced"), std::string::npos) << text;

    service.signal(SIGTERM);
    EXPECT_EQ(service.waitExit(std::chrono::seconds(20)), 0);
    const std::string lines = readAll(log);
    EXPECT_NE(lines.find(" msg=\"host down\" host=" + server + " target=far "), std::string::npos) << lines;
    EXPECT_NE(
        lines.find(" level=info msg=\"route traced\" host=" + server + " address=" + server + " loss_begins_hop=3\n"),
        std::string::npos)
        << lines;
    if (ShellCommand::run("command -v sqlite3").exitCode == 0) {
        const ShellCommand traces = ShellCommand::run("sqlite3 " + shellQuoted(dir.file("h.sqlite")) +
                                                      " 'SELECT DISTINCT loss_begins_at, outage_id IS NOT NULL "
                                                      "FROM route_snapshots'");
        EXPECT_EQ(traces.output, "3|1\n");
    }
}

} // namespace
