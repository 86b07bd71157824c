#include "metrics/ScrapeConnection.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using State = RequestFraming::State;

// How much of what a client sent so far makes a request: the server's loop answers on this alone.
TEST(RequestFraming, TellsAWholeRequestFromOneThatIsStillComingOrCannotBeOne) {
    const std::string head = "POST /metrics HTTP/1.1\r\nContent-Length: 5\r\n\r\n";
    const struct {
        std::string received;
        State state;
        std::size_t size;
    } cases[] = {
        {"", State::Incomplete, 0},
        {"GET /metrics HTTP/1.1\r\nHost: a\r\n", State::Incomplete, 0},
        {"GET /metrics HTTP/1.1\r\n\r\n", State::Complete, 25},
        {"\r\n\r\n", State::Complete, 4}, // an empty request line is the parser's to refuse
        {"GET /metrics HTTP/1.1\r\nX: y\n\r\n", State::Complete, 30},
        {"GET /metrics HTTP/1.1\r\n\r\nGET / HTTP/1.1\r\n\r\n", State::Complete, 25}, // one request per connection
        {head + "hel", State::Incomplete, 0},
        {head + "hello", State::Complete, head.size() + 5},
        {head + "hello, more", State::Complete, head.size() + 5},
        // A length line ending in a bare LF is skipped, as the parser skips it: no body to wait for.
        {"POST /metrics HTTP/1.1\r\nContent-Length: 5\n\r\n", State::Complete, 44},
        {"POST / HTTP/1.1\r\ncontent-LENGTH:\t0012 \r\n\r\n" + std::string(12, 'x'), State::Complete, 54},
        {"POST / HTTP/1.1\r\nContent-Length:\r\n\r\n", State::BadLength, 0},
        {"POST / HTTP/1.1\r\nContent-Length: 0x10\r\n\r\n", State::BadLength, 0},
        {"POST / HTTP/1.1\r\nContent-Length: 99999999999999999999\r\n\r\n", State::BadLength, 0},
        {"POST / HTTP/1.1\r\nContent-Length: 2000\r\n\r\n", State::BodyTooLarge, 0},
        {"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", State::LengthRequired, 0},
        {"GET /" + std::string(100, 'a') + " HTTP/1.1\r\n\r\n", State::HeadTooLarge, 0},
        {"GET /" + std::string(100, 'a'), State::HeadTooLarge, 0},
    };
    for (const auto& c : cases) {
        const RequestFraming framing = frameRequest(c.received, 100, 1024);
        EXPECT_EQ(framing.state, c.state) << c.received;
        EXPECT_EQ(framing.size, c.size) << c.received;
    }
    // The head limit counts the blank line too.
    const std::string exact = "GET / HTTP/1.1\r\nX: " + std::string(100 - 23, 'a') + "\r\n\r\n";
    ASSERT_EQ(exact.size(), 100u);
    EXPECT_EQ(frameRequest(exact, 100, 1024).state, State::Complete);
    EXPECT_EQ(frameRequest(exact, 99, 1024).state, State::HeadTooLarge);
}

} // namespace
