#pragma once

#include <httplib.h>

#include <cstddef>
#include <string>
#include <string_view>

// How far the bytes a client has sent so far make a request. Decided from the bytes alone, so the server's loop
// reads what is there and never waits for a client. The head ends at the first CR LF blank line, as the HTTP
// library reads it (it skips lines ending in a bare LF); the body is what Content-Length announces.
struct RequestFraming {
    enum class State {
        Incomplete,     // more bytes are needed
        Complete,       // `size` bytes (head and body) make the request
        HeadTooLarge,   // no blank line within the head limit: 431
        BadLength,      // Content-Length not a plain number below 2^63, or given twice with other values: 400
        BodyTooLarge,   // a body over the payload limit: 413
        LengthRequired, // a body sent with Transfer-Encoding, which a scrape never needs: 411
    };
    State state = State::Incomplete;
    std::size_t size = 0;
};

// The value of a request's first Authorization header, or nothing.
[[nodiscard]] std::string_view authorizationOf(std::string_view request);

[[nodiscard]] RequestFraming frameRequest(std::string_view received, std::size_t maxHead, std::size_t maxPayload);

// One exchange the HTTP library handles from memory: the whole request, already read by the server's loop, in;
// the answer collected for the loop to send. The library never touches the socket, so no client can hold it.
class BufferedExchange final : public httplib::Stream {
public:
    // `fd` only names the peer for the library.
    BufferedExchange(int fd, std::string_view request) : fd_(fd), request_(request) {}

    // The answer so far, without an interim "100 Continue": the body has been read already.
    [[nodiscard]] std::string answer() const;

    bool is_readable() const override { return consumed_ < request_.size(); }
    bool is_writable() const override { return true; }
    ssize_t read(char* ptr, size_t size) override;
    ssize_t write(const char* ptr, size_t size) override;
    void get_remote_ip_and_port(std::string& ip, int& port) const override;
    void get_local_ip_and_port(std::string& ip, int& port) const override;
    socket_t socket() const override { return fd_; }

private:
    int fd_;
    std::string_view request_;
    std::size_t consumed_ = 0;
    std::string answer_;
};

// A bodiless answer that closes the connection, for requests the library never sees.
[[nodiscard]] std::string bodilessAnswer(std::string_view statusLine);
