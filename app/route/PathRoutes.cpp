#include "app/route/PathRoutes.h"

#include <map>
#include <new>

#include <QMetaObject>
#include <QPointer>

#include "text/RouteText.h"

PathRoutes::PathRoutes(Services services, RouteWatch::TraceFactory factory, QObject* parent)
    : QObject(parent), services_(std::move(services)), watch_(std::make_unique<PathWatch>(std::move(factory))) {
    for (PathObserver* observer : services_.observers)
        if (observer != nullptr)
            watch_->addObserver(*observer);
    watch_->addObserver(*this);
}

PathRoutes::~PathRoutes() {
    stop();
}

void PathRoutes::follow(const std::vector<WatchedHost>& hosts) {
    std::map<std::string, PathWatch::Settings> watched;
    for (const WatchedHost& host : hosts)
        if (host.settings.pathWatch && !host.settings.host.empty())
            watched[host.settings.host] =
                PathWatch::Settings{static_cast<std::uint32_t>(host.settings.pathInterval) * 1000u,
                                    static_cast<std::uint32_t>(host.settings.pathRounds)};
    watch_->watchOnly(watched);
}

void PathRoutes::stop() {
    watch_->stop();
}

void PathRoutes::pathTraced(const PathTrace&) noexcept {}

void PathRoutes::routeChanged(const RouteChange& change) noexcept {
    try {
        // Handed to the window thread; once this object is gone, nowhere.
        QMetaObject::invokeMethod(
            this,
            [self = QPointer<PathRoutes>(this), change] {
                if (self && self->services_.changed)
                    self->services_.changed(change.host, RouteText::changeSentence(change.host, change));
            },
            Qt::QueuedConnection);
    } catch (const std::bad_alloc&) {
    }
}
