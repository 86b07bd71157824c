#include "metrics/ServerConnection.h"

#include "metrics/ScrapeConnection.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

ServerConnection::~ServerConnection() {
    tls.reset();
    ::close(fd);
}

void ServerConnection::sendTimeout() const {
    if (tls)
        return;
    const std::string timeout = bodilessAnswer("408 Request Timeout");
    (void)::send(fd, timeout.data(), timeout.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

ssize_t ServerConnection::receive(char* buffer, std::size_t size) {
    if (!tls)
        return ::recv(fd, buffer, size, 0);
    std::size_t done = 0;
    switch (tls->read(buffer, size, done)) {
    case TlsSession::Io::Done:
        return static_cast<ssize_t>(done);
    case TlsSession::Io::WantRead:
        wantWrite = false;
        errno = EAGAIN;
        return -1;
    case TlsSession::Io::WantWrite:
        wantWrite = true;
        errno = EAGAIN;
        return -1;
    case TlsSession::Io::Closed:
        return 0;
    case TlsSession::Io::Failed:
        break;
    }
    errno = ECONNRESET;
    return -1;
}

ssize_t ServerConnection::transmit(const char* buffer, std::size_t size) {
    if (!tls)
        return ::send(fd, buffer, size, MSG_NOSIGNAL);
    std::size_t done = 0;
    switch (tls->write(buffer, size, done)) {
    case TlsSession::Io::Done:
        return static_cast<ssize_t>(done);
    case TlsSession::Io::WantRead:
    case TlsSession::Io::WantWrite:
        errno = EAGAIN; // a server never renegotiates, so writing waits only for room to write
        return -1;
    case TlsSession::Io::Closed:
    case TlsSession::Io::Failed:
        break;
    }
    errno = EPIPE;
    return -1;
}
