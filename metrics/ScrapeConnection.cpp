#include "metrics/ScrapeConnection.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <optional>

namespace {

constexpr std::string_view kInterimContinue = "HTTP/1.1 100 Continue\r\n\r\n";

bool sameNameIgnoringCase(std::string_view name, std::string_view wanted) {
    return name.size() == wanted.size() && std::equal(name.begin(), name.end(), wanted.begin(), [](char a, char b) {
               return (a >= 'A' && a <= 'Z' ? a - 'A' + 'a' : a) == b;
           });
}

// A Content-Length value: digits only, below 2^63. Anything else, a sign, blanks inside, 20 digits, is no length.
std::optional<std::uint64_t> parseLength(std::string_view text) {
    if (text.empty() || text.size() > 19 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    std::uint64_t value = 0;
    std::from_chars(text.data(), text.data() + text.size(), value);
    if (value > static_cast<std::uint64_t>(INT64_MAX))
        return std::nullopt;
    return value;
}

void endpoint(const sockaddr_storage& address, std::string& ip, int& port) {
    char text[INET6_ADDRSTRLEN] = {};
    if (address.ss_family == AF_INET6) {
        const auto& in6 = reinterpret_cast<const sockaddr_in6&>(address);
        inet_ntop(AF_INET6, &in6.sin6_addr, text, sizeof text);
        port = ntohs(in6.sin6_port);
    } else {
        const auto& in4 = reinterpret_cast<const sockaddr_in&>(address);
        inet_ntop(AF_INET, &in4.sin_addr, text, sizeof text);
        port = ntohs(in4.sin_port);
    }
    ip = text;
}

} // namespace

RequestFraming frameRequest(std::string_view received, std::size_t maxHead, std::size_t maxPayload) {
    using State = RequestFraming::State;
    // The first line is the request line whatever it holds; after it, a line of only CR LF ends the head.
    const std::size_t requestLineEnd = received.find('\n');
    const std::size_t blankLine =
        requestLineEnd == std::string_view::npos ? std::string_view::npos : received.find("\n\r\n", requestLineEnd);
    if (blankLine == std::string_view::npos)
        return {received.size() > maxHead ? State::HeadTooLarge : State::Incomplete, 0};
    const std::size_t headEnd = blankLine + 3;
    if (headEnd > maxHead)
        return {State::HeadTooLarge, 0};

    std::optional<std::uint64_t> length;
    bool transferEncoding = false;
    for (std::size_t at = requestLineEnd + 1; at <= blankLine;) {
        const std::size_t end = received.find('\n', at);
        std::string_view line = received.substr(at, end - at);
        at = end + 1;
        if (!line.ends_with('\r'))
            continue; // the library skips a line ending in a bare LF; so does the framing
        line.remove_suffix(1);
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos)
            continue;
        const std::string_view name = line.substr(0, colon);
        std::string_view value = line.substr(colon + 1);
        while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
            value.remove_prefix(1);
        while (!value.empty() && (value.back() == ' ' || value.back() == '\t'))
            value.remove_suffix(1);
        if (sameNameIgnoringCase(name, "content-length")) {
            const auto parsed = parseLength(value);
            // Two different lengths leave the end of the request to whoever reads it: refused, as a length
            // that is no number.
            if (!parsed || (length && *length != *parsed))
                return {State::BadLength, 0};
            length = parsed;
        } else if (sameNameIgnoringCase(name, "transfer-encoding")) {
            transferEncoding = true;
        }
    }
    if (transferEncoding)
        return {State::LengthRequired, 0};
    const std::uint64_t body = length.value_or(0);
    if (body > maxPayload)
        return {State::BodyTooLarge, 0};
    if (received.size() - headEnd < body)
        return {State::Incomplete, 0};
    return {State::Complete, headEnd + static_cast<std::size_t>(body)};
}

std::string BufferedExchange::answer() const {
    std::string_view text = answer_;
    // The library announces "100 Continue" to a client that asked for it; the loop has read the body already,
    // and one answer per connection is all a client gets.
    while (text.starts_with(kInterimContinue))
        text.remove_prefix(kInterimContinue.size());
    return std::string(text);
}

ssize_t BufferedExchange::read(char* ptr, size_t size) {
    const std::size_t n = std::min(size, request_.size() - consumed_);
    std::memcpy(ptr, request_.data() + consumed_, n);
    consumed_ += n;
    return static_cast<ssize_t>(n);
}

ssize_t BufferedExchange::write(const char* ptr, size_t size) {
    answer_.append(ptr, size);
    return static_cast<ssize_t>(size);
}

void BufferedExchange::get_remote_ip_and_port(std::string& ip, int& port) const {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getpeername(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        endpoint(address, ip, port);
}

void BufferedExchange::get_local_ip_and_port(std::string& ip, int& port) const {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        endpoint(address, ip, port);
}

std::string bodilessAnswer(std::string_view statusLine) {
    return "HTTP/1.1 " + std::string(statusLine) + "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
}

// The value of a request's first Authorization header, or nothing.
std::string_view authorizationOf(std::string_view request) {
    constexpr std::string_view kName = "authorization:";
    std::size_t at = request.find("\r\n");
    while (at != std::string_view::npos && at + 2 < request.size()) {
        at += 2;
        const std::size_t end = request.find("\r\n", at);
        const std::string_view line = request.substr(at, end == std::string_view::npos ? end : end - at);
        if (line.empty())
            break;
        if (line.size() >= kName.size() && std::equal(kName.begin(), kName.end(), line.begin(), [](char want, char c) {
                return want == (c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
            })) {
            std::string_view value = line.substr(kName.size());
            while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
                value.remove_prefix(1);
            while (!value.empty() && (value.back() == ' ' || value.back() == '\t'))
                value.remove_suffix(1);
            return value;
        }
        at = end;
    }
    return {};
}
