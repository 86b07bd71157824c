#include "app/route/OutageRoutes.h"

#include <algorithm>
#include <cstdio>

#include <QMetaObject>
#include <QPointer>

#include "text/RouteText.h"

OutageRoutes::OutageRoutes(Services services, RouteWatch::TraceFactory factory, QObject* parent)
    : QObject(parent), services_(std::move(services)) {
    // The trace's thread hands its result to the window thread; once this object is gone, nowhere.
    watch_ = std::make_unique<RouteWatch>(
        [self = QPointer<OutageRoutes>(this)](const RouteWatch::Finished& finished) {
            QMetaObject::invokeMethod(
                self.data(),
                [self, finished] {
                    if (self)
                        self->follow(finished);
                },
                Qt::QueuedConnection);
        },
        std::move(factory));
}

OutageRoutes::~OutageRoutes() {
    stop();
}

void OutageRoutes::setRounds(int rounds) {
    watch_->setRounds(static_cast<std::uint32_t>(std::max(rounds, 0)));
}

void OutageRoutes::stop() {
    watch_->stop();
}

RouteSnapshot OutageRoutes::snapshotOf(const RouteWatch::Finished& finished) {
    RouteSnapshot s;
    s.host = finished.host;
    s.address = finished.address;
    s.takenMs = finished.startedMs;
    s.reason = RouteReason::Outage;
    s.rounds = finished.result.rounds;
    s.reached = finished.result.reached;
    if (finished.result.lossBeginsAt)
        s.lossBeginsAt = *finished.result.lossBeginsAt;
    for (const RouteHop& hop : finished.result.hops) {
        RouteSnapshotHop h;
        h.hop = hop.number;
        for (const IpAddress& a : hop.answered)
            h.addresses.push_back(a.text());
        h.sent = hop.sent;
        h.lost = hop.lost();
        h.lastUs = hop.lastUs;
        h.bestUs = hop.bestUs;
        h.avgUs = hop.averageUs;
        h.worstUs = hop.worstUs;
        h.stdDevUs = hop.stdDevUs;
        h.unreachable = hop.unreachable;
        s.hops.push_back(std::move(h));
    }
    return s;
}

RouteResult OutageRoutes::resultOf(const RouteSnapshot& snapshot) {
    RouteResult r;
    r.destination = RouteWatch::parseAddress(snapshot.address).value_or(IpAddress{});
    r.rounds = snapshot.rounds;
    r.reached = snapshot.reached;
    if (snapshot.lossBeginsAt && *snapshot.lossBeginsAt > 0 && *snapshot.lossBeginsAt <= 255)
        r.lossBeginsAt = static_cast<std::uint8_t>(*snapshot.lossBeginsAt);
    for (const RouteSnapshotHop& h : snapshot.hops) {
        if (h.hop <= 0 || h.hop > 255)
            continue; // not a hop any tracer makes: a file edited by hand
        RouteHop hop;
        hop.number = static_cast<std::uint8_t>(h.hop);
        for (const std::string& text : h.addresses)
            if (const std::optional<IpAddress> a = RouteWatch::parseAddress(text))
                hop.answered.push_back(*a);
        hop.sent = h.sent;
        hop.received = h.sent - std::min(h.lost, h.sent);
        hop.lastUs = h.lastUs;
        hop.bestUs = h.bestUs;
        hop.averageUs = h.avgUs;
        hop.worstUs = h.worstUs;
        hop.stdDevUs = h.stdDevUs;
        hop.unreachable = h.unreachable;
        r.hops.push_back(std::move(hop));
    }
    return r;
}

void OutageRoutes::follow(const RouteWatch::Finished& finished) {
    if (!finished.error.empty()) {
        // No socket for the trace: the outage simply has no Where.
        std::fprintf(stderr, "ostrevo: no route trace of %s: %s\n", finished.host.c_str(), finished.error.c_str());
        return;
    }
    RouteSnapshot snapshot = snapshotOf(finished);
    const std::optional<std::uint32_t> hop =
        snapshot.lossBeginsAt ? std::optional<std::uint32_t>(static_cast<std::uint32_t>(*snapshot.lossBeginsAt))
                              : std::nullopt;
    if (services_.traced)
        services_.traced(snapshot.host, snapshot.address, hop);
    if (services_.notify && finished.stillBad)
        services_.notify(snapshot.host, RouteText::lossLine(snapshot.lossBeginsAt, snapshot.lossAddress()));
    if (services_.keep)
        services_.keep(snapshot);
    Q_EMIT handled(snapshot);
}
