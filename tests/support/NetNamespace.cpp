#include "support/NetNamespace.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::string shellQuote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

bool onPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::stringstream dirs(std::string(path != nullptr ? path : "") + ":/usr/sbin:/sbin");
    for (std::string dir; std::getline(dirs, dir, ':');)
        if (!dir.empty() && access((dir + "/" + program).c_str(), X_OK) == 0)
            return true;
    return false;
}

// Runs a shell command line, collecting standard output and error; the exit status, or -1.
int shell(const std::string& command, std::string* output) {
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr)
        return -1;
    char buffer[512];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        if (output != nullptr)
            output->append(buffer, n);
    const int status = pclose(pipe);
    return status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

std::string NetNamespace::unavailableReason() {
    if (geteuid() != 0)
        return "network namespaces need root";
    for (const char* program : {"ip", "nft"})
        if (!onPath(program))
            return std::string("'") + program + "' is not installed (iproute2 / nftables)";
    return {};
}

NetNamespace::NetNamespace(const std::string& tag) {
    static std::atomic<int> counter{0};
    name_ = "ostrevo-" + tag + "-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
    error_ = unavailableReason();
    if (!error_.empty())
        return;
    std::string output;
    shell("ip netns delete " + name_, nullptr);
    if (shell("ip netns add " + name_, &output) != 0) {
        error_ = "cannot create a network namespace: " + output;
        return;
    }
    created_ = true;
    if (shell("ip -n " + name_ + " link set lo up", &output) != 0)
        error_ = "cannot bring loopback up in " + name_ + ": " + output;
}

NetNamespace::~NetNamespace() {
    if (created_)
        shell("ip netns delete " + name_, nullptr);
}

int NetNamespace::run(const std::string& command, std::string* output) const {
    return shell("ip netns exec " + name_ + " sh -c " + shellQuote(command), output);
}

bool NetNamespace::sysctl(const std::string& key, const std::string& value) const {
    return run("sysctl -q -w " + shellQuote(key + "=" + value)) == 0;
}

bool NetNamespace::allowPingSockets() const {
    return sysctl("net.ipv4.ping_group_range", "0 2147483647");
}

bool NetNamespace::nft(const std::string& script, std::string* output) const {
    return run("nft -f - <<'OSTREVO_NFT_END'\n" + script + "\nOSTREVO_NFT_END", output) == 0;
}

bool NetNamespace::flushNft() const {
    return run("nft flush ruleset") == 0;
}

std::vector<std::string> NetNamespace::execPrefix() const {
    return {"ip", "netns", "exec", name_};
}

bool NetNamespace::enter(const std::string& name) {
    const int target = ::open(("/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC);
    if (target < 0)
        return false;
    const bool entered = setns(target, CLONE_NEWNET) == 0;
    ::close(target);
    return entered;
}

NetNamespace::Entered::Entered(const NetNamespace& ns) {
    previous_ = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    ok_ = previous_ >= 0 && ns.ok() && enter(ns.name());
}

NetNamespace::Entered::~Entered() {
    if (previous_ < 0)
        return;
    if (ok_ && setns(previous_, CLONE_NEWNET) != 0)
        std::abort(); // a test thread stranded in a dying namespace would probe the wrong network
    ::close(previous_);
}

std::string NetNamespace::inputRule(const std::string& rule) {
    return "table inet ostrevo_test {\n    chain input {\n        type filter hook input priority 0;\n        " + rule +
           "\n    }\n}\n";
}

std::string httpGetInside(const NetNamespace& ns, std::uint16_t port, const std::string& path) {
    int fd = -1;
    {
        NetNamespace::Entered inside(ns);
        if (!inside.ok())
            return {};
        // The socket belongs to the namespace it was made in, wherever the thread goes next.
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    }
    std::string answer;
    const sockaddr_in to{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) {
        const std::string request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        char buffer[4096];
        pollfd p{fd, POLLIN, 0};
        while (::poll(&p, 1, 10'000) > 0) {
            const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
            if (got <= 0)
                break;
            answer.append(buffer, static_cast<std::size_t>(got));
        }
    }
    ::close(fd);
    return answer;
}
