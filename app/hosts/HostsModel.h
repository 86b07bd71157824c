#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <unordered_map>
#include <vector>

#include <QAbstractTableModel>

#include "monitor/WatchedHost.h"

// The watched hosts as rows of the Hosts window, the main host first. It reads the owner's list in place and
// copies nothing: a probe of one host repaints that row's cells and nothing else, so a long list costs per probe
// what a single row does.
class HostsModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column : int { HostColumn, AddressColumn, StatusColumn, RttColumn, LossColumn, AverageColumn, RecentColumn };
    static constexpr int kColumnCount = RecentColumn + 1;

    // Unix time in milliseconds; tells whether a status began today, which decides how its time is shown.
    using Clock = std::function<std::int64_t()>;

    explicit HostsModel(QObject* parent = nullptr, Clock clock = {});

    // The list to show, which outlives the model or is replaced before it goes; told again whenever hosts come,
    // go or change places.
    void setHosts(const std::vector<WatchedHost>& hosts);
    // The host with this id has new values; false when no row has it.
    bool updateHost(RunId id);

    [[nodiscard]] const std::vector<WatchedHost>& hosts() const { return *hosts_; }
    [[nodiscard]] const WatchedHost* host(int row) const;
    [[nodiscard]] const WatchedHost* hostById(RunId id) const;
    [[nodiscard]] std::optional<int> rowOf(RunId id) const;
    // The id of a row as the list was when last told: the owner changes its list before it tells, so what
    // was selected is known by this, not by the list.
    [[nodiscard]] std::optional<RunId> idAt(int row) const;

    [[nodiscard]] int rowCount(const QModelIndex& parent = {}) const override;
    [[nodiscard]] int columnCount(const QModelIndex& parent = {}) const override;
    [[nodiscard]] QVariant data(const QModelIndex& index, int role) const override;
    [[nodiscard]] QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    // The cell texts, as the table shows them.
    [[nodiscard]] QString statusText(const WatchedHost& host) const;
    [[nodiscard]] static QString rttText(std::uint32_t us); // "0.04ms", "2.5ms", "14ms"
    [[nodiscard]] static QString lastRttText(const WatchedHost& host);
    [[nodiscard]] static QString lossText(const WatchedHost& host);
    [[nodiscard]] static QString averageText(const WatchedHost& host);

private:
    [[nodiscard]] QString sinceText(std::int64_t unixMs) const;
    [[nodiscard]] QString toolTip(const WatchedHost& host, int column) const;

    const std::vector<WatchedHost>* hosts_;
    std::vector<RunId> ids_;
    std::unordered_map<RunId, int> rows_; // a probe finds its row without a walk through a long list
    Clock clock_;
};
