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
    s.hops = finished.result.hops;
    return s;
}

RouteResult OutageRoutes::resultOf(const RouteSnapshot& snapshot) {
    RouteResult r;
    r.destination = RouteWatch::parseAddress(snapshot.address).value_or(IpAddress{});
    r.rounds = snapshot.rounds;
    r.reached = snapshot.reached;
    if (snapshot.lossBeginsAt && *snapshot.lossBeginsAt > 0 && *snapshot.lossBeginsAt <= 255)
        r.lossBeginsAt = static_cast<std::uint8_t>(*snapshot.lossBeginsAt);
    r.hops = snapshot.hops;
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
        services_.notify(snapshot.host, RouteText::lossSentence(finished.result));
    if (services_.keep)
        services_.keep(snapshot);
    Q_EMIT handled(snapshot);
}
