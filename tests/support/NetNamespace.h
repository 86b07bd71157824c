#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A private network namespace for tests that need a misbehaving network: created with `ip netns add` under a
// unique name, loopback up, deleted again when the object dies. Traffic stays on its own 127.0.0.1.
//
//     NetNamespace ns("icmp");
//     if (!ns.ok()) GTEST_SKIP() << ns.error();
//     ns.nft(NetNamespace::inputRule("icmp type echo-request drop"));   // shape it
//     NetNamespace::Entered inside(ns);           // this thread's new sockets now live in it
class NetNamespace {
public:
    // Empty when namespaces can be made here; otherwise why not (not root, `ip` or `nft` missing).
    [[nodiscard]] static std::string unavailableReason();

    // `tag` goes into the name ("ostrevo-<tag>-<pid>-<n>") so a leftover namespace says where it came from.
    explicit NetNamespace(const std::string& tag = "test");
    ~NetNamespace();
    NetNamespace(const NetNamespace&) = delete;
    NetNamespace& operator=(const NetNamespace&) = delete;

    [[nodiscard]] bool ok() const { return error_.empty(); }
    [[nodiscard]] const std::string& error() const { return error_; }
    [[nodiscard]] const std::string& name() const { return name_; }

    // Runs `command` with sh inside the namespace; returns its exit status (-1 when it could not run).
    // Standard output and error go to `output` when given.
    int run(const std::string& command, std::string* output = nullptr) const;

    [[nodiscard]] bool sysctl(const std::string& key, const std::string& value) const;
    // Lets every group open datagram ICMP ("ping") sockets in the namespace.
    [[nodiscard]] bool allowPingSockets() const;
    // Loads an nft script (as for `nft -f`) inside the namespace; nft's complaints go to `output`.
    [[nodiscard]] bool nft(const std::string& script, std::string* output = nullptr) const;
    // A script with one rule in an input filter chain, e.g. inputRule("icmp type echo-request drop").
    [[nodiscard]] static std::string inputRule(const std::string& rule);
    // Removes every nft table again.
    [[nodiscard]] bool flushNft() const;

    // The argument list that starts a program inside the namespace: {"ip", "netns", "exec", name}.
    [[nodiscard]] std::vector<std::string> execPrefix() const;

    // While alive, the calling thread (only that one) is in the namespace: sockets it creates belong there
    // and keep belonging there afterwards.
    class Entered {
    public:
        explicit Entered(const NetNamespace& ns);
        ~Entered();
        Entered(const Entered&) = delete;
        Entered& operator=(const Entered&) = delete;
        [[nodiscard]] bool ok() const { return ok_; }

    private:
        int previous_ = -1;
        bool ok_ = false;
    };

    // Puts the calling thread into the namespace named `name` for good; false when that fails.
    [[nodiscard]] static bool enter(const std::string& name);

private:
    std::string name_;
    std::string error_;
    bool created_ = false;
};

// One HTTP GET of `path` on the namespace's loopback at `port`: the whole answer, headers included; empty when
// nothing listens there yet.
[[nodiscard]] std::string httpGetInside(const NetNamespace& ns, std::uint16_t port, const std::string& path);
