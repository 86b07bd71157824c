#pragma once

#include "metrics/TlsContext.h"

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

// One connection the scrape server accepted, non-blocking, with one deadline for the whole exchange counted from
// its accept; over TLS when it has a session.
struct ServerConnection {
    using Clock = std::chrono::steady_clock;

    enum class Phase {
        Reading,  // the request is coming in
        Waiting,  // the request is whole and its answer is being made elsewhere (a password checked)
        Writing,  // the answer is going out
        Draining, // answered: what the client still sends is read and dropped for a moment, so that closing with
                  // unread bytes does not reset the connection before the client has read the answer
    };

    ServerConnection(int socket, Clock::time_point deadline) : fd(socket), deadline(deadline) {}
    ~ServerConnection();
    ServerConnection(const ServerConnection&) = delete;
    ServerConnection& operator=(const ServerConnection&) = delete;

    // recv() and send() for plain and TLS connections alike: the bytes moved, 0 when the peer has closed, or -1
    // with errno EAGAIN when the socket must be waited for (wantWrite says in which direction), another on error.
    ssize_t receive(char* buffer, std::size_t size);
    ssize_t transmit(const char* buffer, std::size_t size);
    // Tells a client still sending its request why the connection ends. Not over TLS, where plain bytes would
    // only garble the stream: that client sees the connection close.
    void sendTimeout() const;

    int fd;
    Clock::time_point deadline;
    std::uint64_t id = 0; // names it to the worker that makes its answer while it is Waiting
    Phase phase = Phase::Reading;
    std::string received;
    std::string answer;
    std::size_t sent = 0;
    std::size_t dropped = 0;
    std::unique_ptr<TlsSession> tls; // none for plain HTTP
    bool handshaken = false;
    bool wantWrite = false; // TLS needs the socket writable before it can go on reading
};
