#!/usr/bin/env python3
"""Writes the seed inputs of every fuzz target, in each target's input layout, from the cases the unit tests
use. run.sh merges them into fuzz/corpus/<target>/ (only inputs that add coverage are kept)."""

import os
import struct
import sys


def checksum(data):
    if len(data) % 2:
        data += b"\0"
    total = sum(struct.unpack("!%dH" % (len(data) // 2), data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return ~total & 0xFFFF


def icmp(type_, code, rest):
    message = bytes([type_, code, 0, 0]) + rest
    return message[:2] + struct.pack("!H", checksum(message)) + message[4:]


def echo(type_, ident, seq, size=32):
    return icmp(type_, 0, struct.pack("!HH", ident, seq) + b" " * size)


def ipv4(source, destination, payload, ttl=64):
    return bytes([0x45, 0]) + struct.pack("!H", 20 + len(payload)) + bytes([0, 0, 0, 0, ttl, 1, 0, 0]) + \
        bytes(source) + bytes(destination) + payload


TARGET, ROUTER = [127, 0, 0, 1], [127, 0, 0, 9]
ID, SEQ = 0x4242, 7


def icmp_packet():
    key = bytes(TARGET) + struct.pack("!HH", ID, SEQ)
    request = ipv4(TARGET, TARGET, echo(8, ID, SEQ), 255)
    seeds = {
        "reply": b"\0" + key + ipv4(TARGET, TARGET, echo(0, ID, SEQ, 40), 61),
        "reply-elsewhere": b"\0" + key + ipv4(ROUTER, TARGET, echo(0, ID, SEQ)),
        "own-request": b"\0" + key + request,
        "ipv6-nibble": b"\0" + key + bytes([0x60, 0, 0, 28, 0, 0, 0, 0, 64, 1, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8]),
        "datagram-reply": b"\1" + key + bytes(TARGET) + b"\x40" + echo(0, 0, SEQ),
        "quoted": b"\2" + key + echo(8, 0, SEQ)[:8],
        "built": b"\3" + key + b" " * 32,
    }
    for type_, code in [(3, 1), (3, 4), (3, 13), (11, 0), (11, 1), (12, 0), (4, 0), (5, 1)]:
        seeds["error-%d-%d" % (type_, code)] = b"\0" + key + ipv4(ROUTER, TARGET, icmp(type_, code, bytes(4) + request[:28]), 250)
    return seeds


TARGET6 = bytes([0x20, 0x01, 0x0d, 0xb8] + [0] * 11 + [1])
ROUTER6 = bytes([0x20, 0x01, 0x0d, 0xb8] + [0] * 11 + [9])


def echo6(type_, ident, seq, size=32):
    # The kernel fills in ICMPv6 checksums, so they stay 0 here.
    return bytes([type_, 0, 0, 0]) + struct.pack("!HH", ident, seq) + b" " * size


def ipv6(destination, next_, payload, extensions=b""):
    return bytes([0x60, 0, 0, 0]) + struct.pack("!H", len(extensions) + len(payload)) + bytes([next_, 64]) + \
        ROUTER6 + destination + extensions + payload


def icmpv6_packet():
    key = TARGET6 + struct.pack("!HH", ID, SEQ)
    request = echo6(128, ID, SEQ)
    hop_by_hop = bytes([44, 0, 1, 4, 0, 0, 0, 0])
    fragment = bytes([58, 0, 0, 1, 0, 0, 0, 42])
    later_fragment = bytes([58, 0, 0, 9, 0, 0, 0, 42])
    routing = bytes([60, 1, 0, 0, 0, 0, 0, 0]) + bytes(8)
    destination_options = bytes([58, 0, 1, 4, 0, 0, 0, 0])
    seeds = {
        "reply": b"\4" + key + echo6(129, ID, SEQ, 40),
        "reply-elsewhere": b"\0" + key + ROUTER6 + echo6(129, ID, SEQ),
        "own-request": b"\4" + key + request,
        "error-plain": b"\0" + key + ROUTER6 + bytes([1, 3, 0, 0, 0, 0, 0, 0]) + ipv6(TARGET6, 58, request),
        "error-extensions": b"\0" + key + ROUTER6 + bytes([3, 0, 0, 0, 0, 0, 0, 0]) +
        ipv6(TARGET6, 0, request, hop_by_hop + fragment),
        "error-routing": b"\0" + key + ROUTER6 + bytes([4, 1, 0, 0, 0, 0, 0, 40]) +
        ipv6(TARGET6, 43, request, routing + destination_options),
        "error-later-fragment": b"\0" + key + ROUTER6 + bytes([2, 0, 0, 0, 0, 0, 5, 0]) +
        ipv6(TARGET6, 44, request, later_fragment),
        "error-cut": b"\0" + key + ROUTER6 + bytes([1, 4, 0, 0, 0, 0, 0, 0]) + ipv6(TARGET6, 58, request)[:46],
        "redirect": b"\0" + key + ROUTER6 + bytes([137, 0, 0, 0, 0, 0, 0, 0]) + ipv6(TARGET6, 58, request),
        "datagram-reply": b"\5" + key + echo6(129, 0, SEQ),
        "datagram-elsewhere": b"\1" + key + ROUTER6 + echo6(129, 0, SEQ),
        "quoted": b"\6" + key + request[:8],
        "built": b"\7" + key + b" " * 32,
    }
    return seeds


def history_csv():
    hosts = ["plain.example", "comma,host", 'quote"d', '""', "line\nbreak", "carriage\rreturn", "crlf\r\nend",
             " edge blanks ", "", "ünïcødé", 'a,"b"\r\n,c']
    seeds = {}
    for i, host in enumerate(hosts):
        replied = i % 3 != 0
        fixed = struct.pack("<qqIiB", 1_700_000_000_123 + i, i * 1001, 0 if replied else 11010, 64,
                            3 if replied else 0)
        text = "Success" if replied else 'Timed, "out"'
        seeds["sample-%d" % i] = fixed + "\0".join([host, "127.0.0.%d" % i, text]).encode()
    seeds["before-1970"] = struct.pack("<qqIiB", -1, -1, 0, 0, 3) + b"h\0a\0t"
    return seeds


def metrics_text():
    specs = ["9100", " 9100 ", "65535", "127.0.0.1:9100", "0.0.0.0:9100", "localhost:9100", "[::1]:9100",
             "[fe80::1:2]:9100", "09100", "", "0", "65536", "-1", "+80", "127.0.0.1:", ":9100", "example.org:9100",
             "127.1:9100", "::1:9100", "[::1]", "[::1]9100", "[::1:9100", "[127.0.0.1]:9100", "[fe80::1%lo]:9100"]
    seeds = {"spec-%d" % i: b"\0" + s.encode() for i, s in enumerate(specs)}
    labels = [b'router "main"\\lan\n', "ünï".encode(), b"\xff\xfe", b"\xed\xa0\x80", b"\xf4\x90\x80\x80",
              b"\xe0\x80\xaf", b"\xc3"]
    seeds.update({"label-%d" % i: b"\1" + s for i, s in enumerate(labels)})
    for micros in [0, 2500, 1_000_000, 2**64 - 1]:
        seeds["seconds-%d" % micros] = b"\2" + struct.pack("<Q", micros)
    records = struct.pack("<IIB", 1500, 0, 1) + struct.pack("<IIB", 0, 11010, 0x44) + struct.pack("<IIB", 900, 0, 3)
    seeds["exposition"] = b"\3" + 'host "q"\n\0127.0.0.1\0'.encode() + records
    # Replies with a TTL in the top byte (flag 8), the host status set to each state in turn (flag 4, top bits).
    states = b"".join(struct.pack("<IIB", (64 << 24) | 300, 0, 0x0d | state << 6) for state in range(4))
    seeds["exposition-states"] = b"\3" + b"lan\x00192.168.1.1\x00" + states + struct.pack("<IIB", 0, 11010, 0x06)
    return seeds


def metrics_request():
    scrape = b"GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: text/plain\r\n\r\n"
    requests = [scrape, b"GET /metrics?format=x HTTP/1.0\r\n\r\n", b"HEAD /metrics HTTP/1.1\r\n\r\n",
                b"GET / HTTP/1.1\r\n\r\n", b"GET /metricsx HTTP/1.1\r\n\r\n",
                b"POST /metrics HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello", b"garbage\r\n\r\n",
                b"GET /metrics\r\n\r\n", b"BREW /metrics HTTP/1.1\r\n\r\n",
                b"GET /metrics HTTP/1.1\r\nX-Pad: " + b"a" * 9000 + b"\r\n\r\n",
                b"GET /metrics HTTP/1.1\r\nHost: x",
                b"GET /metrics HTTP/1.1\r\nRange: bytes=0-10\r\n\r\n",
                b"GET /metrics HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n",
                b"POST /metrics HTTP/1.1\r\nContent-Length: -1\r\n\r\n",
                b"POST /metrics HTTP/1.1\r\nContent-Length: 18446744073709551616\r\n\r\n",
                b"POST /metrics HTTP/1.1\r\nContent-Length: 5\r\ncontent-length: 6\r\n\r\nhello!",
                b"POST /metrics HTTP/1.1\r\nContent-Length: 9\r\n\r\nhel",
                b"GET /metrics HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 2\r\n\r\nhi"]
    return {"request-%d" % i: r for i, r in enumerate(requests)}


def alert_params():
    def alert(mode, status, code, host, line, app, params):
        return bytes([mode | status << 2]) + struct.pack("<I", code) + "\0".join([host, line, app, params]).encode()

    everything = "%address% %responce% %status% %code% %error% %errcode%"
    reply = "Reply from 127.0.0.1: bytes=32 time<1ms TTL=255"
    seeds = {
        "all": alert(0, 3, 0, "router.lan", reply, "/usr/local/bin/alert", everything),
        "error": alert(0, 1, 11003, "router.lan", "Destination Host Unreachable", "/bin/alert", everything),
        "unknown": alert(0, 1, 0xFFFFFFFF, "h", "x", "alert", "%error% %errcode%"),
        "brought-in": alert(0, 3, 0, "h", "up %status% now", "a/b", "%responce% %status%"),
        "quotes": alert(0, 3, 0, "h", 'say "hi" "', "a", "[%responce%]"),
        "structured": alert(1, 2, 11010, "router.lan", 'a "b"\tc', "/opt//alert", everything + " -v %address%"),
    }
    splits = ["", "   \t ", "  a \t  b  ", '"a b"', '"" ""', '"a""b"', '""""', 'abc"d e"f', 'x "open to the end']
    seeds.update({"split-%d" % i: bytes([2]) + bytes(4) + s.encode() for i, s in enumerate(splits)})
    dirs = ["/usr/local/bin/alert", "/alert", "alert", "./alert.sh", "/opt//alert", "a///"]
    seeds.update({"dir-%d" % i: bytes([3]) + bytes(4) + s.encode() for i, s in enumerate(dirs)})
    return seeds


# Field selectors follow the order of the settings field table; the three bytes after it pick the start state.
NUMBER_TEXTS = ["0", "42", "+42", "-42", "007", "   12", "2147483647", "-2147483648", "2147483648", "-2147483649",
                "99999999999999999999999", "$40", "$ff", "x1F", "X1f", "0x10", "0X10", "$FFFFFFFF", "$80000000",
                "$000000001", "$100000000", "", "   ", "+", "-", "$", "0x", "10 ", "\t10", "1 0", "12a", "-$10",
                "+0x10", "$1G", "1.5", "--1", "300", "256", "-7", "356", "Yes", "TRUE", " yes", "on", "1"]


def settings_rules():
    return {"text-%d-field-%d" % (i, i % 20): bytes([i % 20, i, 0, 1]) + t.encode()
            for i, t in enumerate(NUMBER_TEXTS)}


def command_line():
    lists = [["/START"], ["/Tray"], ["/start=1"], ["/trayx"], ["/runa=/home/me/scripts/alert.sh"],
             ["/logf=/tmp/Backup/run.log"], ["/runp=/i /t %Status%"], ["/runp=--level=2 --host=%address%"],
             ["/b=/i=5"], ["/x=/b=5"], ["/backup"], ["/TRIES=5"], ["--help", "h.example", "--whatever"],
             ["/buffer=64"], ["/b=-$40"], ["/i=0"], ["/interval=30"], ["/i=9999999"], ["/i=-2147483648"],
             ["/a=-1"], ["/a=2", "/a"], ["/tries=300"], ["/logl=1", "/logl=256"], ["/minp=60", "/maxp=40"],
             ["/mint=800", "/maxt=200"], ["/mint=-2147483648"], ["/runm=2", "/runm"], ["/runm=1", "/runmode=max"],
             ["/runa="], ["/loga= yes "], ["/loga=\ttrue\r"], ["/loga=1", "/loga=on"], ["/LOGF=LOG.TXT"],
             ["/logf=a=b"], ["First.Example", "Second.Example"], ["MyHost", "/start"],
             ["--platform", "offscreen", "--style=fusion", "-display", ":9"], ["--help=yes"], ["--"],
             ["--metrics=:9"], ["--metrics"]]
    return {"args-%d" % i: bytes([i % 4]) + "\0".join(a).encode() for i, a in enumerate(lists)}


def settings_store(golden):
    seeds = {"golden": golden}
    broken = [b"this is not an ini file at all\n\n=\n[[[\n",
              b"\x00\x01\xff\xfe[General\x00Buffer=\x00" + b"\x00" * 300,
              b"[General]\nBuffer=64\nInterv", b'[General]\nBuffer=64\nHost="unterminated',
              b"[Other]\nBuffer=64\n", b"[General\nHost=abc\nTries=5\n", b"[]\nHost=abc\n",
              b"[General]\nHost=a,b\nAppParams=a;b\nSndStart=@Variant(\\0\\0\\0\\x7f)\nLogFileName=\"\\xe4\"\n",
              b"[General]\nTries=300\nMinPercent=150\nMaxPercent=60\nMinTime=800\nMaxTime=200\nInterval=-5\n"
              b"AnalizeMode=-1\nLogLevel=7\nAppMode=-7\nBuffer=$40\nResolveIP=TRUE\n",
              # host lists: repeats (the main host's too), a garbled size, gaps and odd indices
              b"[General]\nHost=Main.example\nRunning=Yes\n\n[Hosts]\n1\\Host=a.example\n2\\Host=A.EXAMPLE\n"
              b"2\\Buffer=99\n3\\Host=main.example\n4\\Host=::1\n5\\Host=0:0::1\n5\\Running=Yes\nsize=5\n",
              b"[Hosts]\n1\\Host=a\n3\\Host=c\n3\\Running=Yes\n03\\Host=d\n7\\x\\y=1\nsize=3abc\n",
              b"[Hosts]\nsize=2\n1\\Interval=0\n4\\Host=beyond\n"]
    seeds.update({"broken-%d" % i: b for i, b in enumerate(broken)})
    return seeds


def service_config():
    files = [b"targets:\n  - hosts: [gateway.lan, 192.0.2.1, \"2001:db8::1\"]\n    interval: 1s\n    timeout: 2s\n"
             b"    size: 56\n    ttl: 64\n    tos: 0x00\n    source: 192.0.2.10\n    network: ip\n"
             b"    labels: {site: lab, link: uplink}\n    analysis: {mode: loss, good_below: 20, bad_above: 40}\n"
             b"    route_rounds: 10\n  - name: gw-jumbo\n    host: gateway.lan\n    size: 1472\n"
             b"history: {days: 30, raw_days: 0}\nbuckets: [0.0005, 0.001, 0.1]\nresolve_interval: 5m\n",
             b"targets:\n  - host: 127.0.0.1\n    analysis: {mode: time, good_below: 100ms, bad_above: 1.5s}\n",
             b"targets:\n  - host: a\n    analysis: {tries: 5}\n  - {name: x, host: a, interval: 1m30s}\n",
             b"targets:\n  - &g {host: a, ttl: 3}\n  - *g\n", b"targets: [{host: a}, {host: a}]\n",
             b"targets:\n  - hosts: [a, b\n", b"--- a\n--- b\n", b"{targets: [{labels: {__x: 1}, hosts: [a]}]}\n",
             b"targets:\n  - host: a\n    interval: 99999999999999999999w\n", b"buckets: [1e-3, 0.5, .7, 1e400]\n",
             b"history: {days: 3, raw_days: 4}\n", b"targets:\n  - host: !!binary aGk=\n", b"[[[[[[[[[[[[[[[[[[\n"]
    return {"config-%d" % i: f for i, f in enumerate(files)}


def main():
    out = sys.argv[1]
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    with open(os.path.join(root, "tests", "settings", "golden", "Ostrevo.conf"), "rb") as f:
        golden = f.read()
    for target, seeds in [("icmp_packet", icmp_packet()), ("icmpv6_packet", icmpv6_packet()),
                          ("history_csv", history_csv()), ("metrics_text", metrics_text()),
                          ("metrics_request", metrics_request()),
                          ("alert_params", alert_params()), ("settings_rules", settings_rules()),
                          ("command_line", command_line()), ("settings_store", settings_store(golden)),
                          ("service_config", service_config())]:
        os.makedirs(os.path.join(out, target), exist_ok=True)
        for name, data in seeds.items():
            with open(os.path.join(out, target, name), "wb") as f:
                f.write(data)


if __name__ == "__main__":
    main()
