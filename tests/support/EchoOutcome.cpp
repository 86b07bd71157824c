#include "support/EchoOutcome.h"

#include <arpa/inet.h>

IpAddress EchoOutcome::loopback() {
    return IpAddress::v4(htonl(INADDR_LOOPBACK));
}

EchoOutcome EchoOutcome::good(std::uint32_t rtt, std::uint16_t size, std::uint8_t ttl) {
    EchoOutcome o;
    o.kind = Kind::Good;
    o.rtt = rtt;
    o.size = size;
    o.ttl = ttl;
    o.address = loopback();
    return o;
}

EchoOutcome EchoOutcome::errorReply(std::uint32_t status, IpAddress address) {
    EchoOutcome o;
    o.kind = Kind::ErrorReply;
    o.status = status;
    o.address = address;
    return o;
}

EchoOutcome EchoOutcome::failure(std::int32_t code) {
    EchoOutcome o;
    o.kind = Kind::Failure;
    o.errorCode = code;
    return o;
}
