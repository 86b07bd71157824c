#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <QObject>

#include "engine/PathWatch.h"
#include "monitor/WatchedHost.h"
#include "types/PathObserver.h"

// Path watching on the program's side: the watch that keeps the path of every host with PathWatch on, the
// observers its traces go to (the ledger, the metrics) and, on the window thread, what a route change says to
// the user (the log, a notification).
class PathRoutes : public QObject, private PathObserver {
    Q_OBJECT
public:
    struct Services {
        // Told of every trace and change on the trace's thread; they must queue. Null entries are skipped.
        std::vector<PathObserver*> observers;
        // A route change of `host`, on the window thread, with its sentence.
        std::function<void(const std::string& host, const std::string& sentence)> changed;
    };

    explicit PathRoutes(Services services, RouteWatch::TraceFactory factory = {}, QObject* parent = nullptr);
    ~PathRoutes() override;

    // The observer of every run (the main host's worker and the hub): registered before they start.
    [[nodiscard]] PathWatch& watch() { return *watch_; }
    // The hosts whose path is kept from now on: those with PathWatch on.
    void follow(const std::vector<WatchedHost>& hosts);
    // Ends the traces under way (at exit); nothing more is reported.
    void stop();

private:
    void pathTraced(const PathTrace& trace) noexcept override;
    void routeChanged(const RouteChange& change) noexcept override;

    Services services_;
    std::unique_ptr<PathWatch> watch_;
};
