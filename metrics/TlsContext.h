#pragma once

#include "metrics/WebSecurity.h"

#include <cstddef>
#include <memory>
#include <string>

struct ssl_ctx_st;
struct ssl_st;

// One TLS session on a non-blocking socket. Each call does what it can without waiting and says what it waits for.
class TlsSession {
public:
    enum class Io { Done, WantRead, WantWrite, Closed, Failed };

    explicit TlsSession(ssl_st* ssl) : ssl_(ssl) {}
    ~TlsSession();
    TlsSession(const TlsSession&) = delete;
    TlsSession& operator=(const TlsSession&) = delete;

    [[nodiscard]] Io handshake();
    // `done` bytes read or written when the result is Done.
    [[nodiscard]] Io read(char* buffer, std::size_t size, std::size_t& done);
    [[nodiscard]] Io write(const char* buffer, std::size_t size, std::size_t& done);
    // Sends close_notify if the socket takes it now; never waits for the client's.
    void close();

private:
    [[nodiscard]] Io outcome(int result);
    ssl_st* ssl_;
};

// The server's certificate, key and client-certificate rules, loaded once; every connection gets a session of it.
class TlsContext {
public:
    // Nothing, with `error` saying why, when a file cannot be read or the key does not fit the certificate.
    [[nodiscard]] static std::unique_ptr<TlsContext> create(const TlsSettings& settings, std::string& error);
    ~TlsContext();
    TlsContext(const TlsContext&) = delete;
    TlsContext& operator=(const TlsContext&) = delete;

    // Nothing when OpenSSL is out of memory.
    [[nodiscard]] std::unique_ptr<TlsSession> accept(int fd) const;

private:
    explicit TlsContext(ssl_ctx_st* ctx) : ctx_(ctx) {}
    ssl_ctx_st* ctx_;
};
