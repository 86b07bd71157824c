#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <QObject>

#include "engine/RouteResult.h"
#include "engine/RouteWatch.h"
#include "history/RouteSnapshot.h"

// The route at every outage, on the program's side: the watch that traces a host each time it enters
// Bad, and what follows a trace once it is done, on the window thread: the ledger keeps it with the outage,
// the metrics show where loss begins, and a second desktop notification replaces the first with that line.
class OutageRoutes : public QObject {
    Q_OBJECT
public:
    struct Services {
        // Where traces are kept; none (or a null ledger) keeps nothing.
        std::function<void(RouteSnapshot)> keep;
        // Told of every trace (the metrics): host, address traced, hop where loss begins (none: no loss).
        std::function<void(const std::string&, const std::string&, std::optional<std::uint32_t>)> traced;
        // The second notification for `host`, with the loss line as its text; called only while the run still
        // judges the host Bad, so that it never replaces a later "is Good".
        std::function<void(const std::string& host, const std::string& line)> notify;
    };

    explicit OutageRoutes(Services services, RouteWatch::TraceFactory factory = {}, QObject* parent = nullptr);
    ~OutageRoutes() override;

    // The observer a run's worker tells of its probes; registered before the worker starts.
    [[nodiscard]] RouteWatch& watch() { return *watch_; }
    void setRounds(int rounds);
    // Ends the traces under way (at exit); their results are dropped.
    void stop();

    [[nodiscard]] static RouteSnapshot snapshotOf(const RouteWatch::Finished& finished);
    // A stored trace as the Route window shows it.
    [[nodiscard]] static RouteResult resultOf(const RouteSnapshot& snapshot);

Q_SIGNALS:
    // A trace has been handled (kept, counted, notified).
    void handled(const RouteSnapshot& snapshot);

private:
    void follow(const RouteWatch::Finished& finished);

    Services services_;
    std::unique_ptr<RouteWatch> watch_;
};
