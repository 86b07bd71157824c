#pragma once

#include <QSortFilterProxyModel>

#include "monitor/WatchedHost.h"

class HostsModel;

// The Hosts window's rows as the user orders and filters them: sorted on any column (the status worst first,
// then the longest in it; host names and addresses in natural order; figures by value) and narrowed to the hosts
// whose name, address or status holds the filter's text. Without a sort column the rows keep the list's order,
// the main host first.
class HostsProxyModel : public QSortFilterProxyModel {
    Q_OBJECT
public:
    explicit HostsProxyModel(HostsModel& hosts, QObject* parent = nullptr);

    [[nodiscard]] HostsModel& hosts() const { return hosts_; }
    // The host of a row of this model; nullptr for an invalid index.
    [[nodiscard]] const WatchedHost* host(const QModelIndex& index) const;

    // Only the hosts whose name, address or status text holds `text`, in any case; empty shows them all.
    void setFilterText(const QString& text);
    [[nodiscard]] const QString& filterText() const { return filterText_; }

    // "51 hosts: 3 Bad, 1 Average, 45 Good, 2 stopped", and how many the filter leaves when it hides some.
    [[nodiscard]] QString summary() const;

    // -1 on this side, 0 beside, 1 on the other: how two hosts compare in a column, ascending.
    [[nodiscard]] int compare(const WatchedHost& a, const WatchedHost& b, int column) const;

protected:
    [[nodiscard]] bool lessThan(const QModelIndex& left, const QModelIndex& right) const override;
    [[nodiscard]] bool filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const override;

private:
    HostsModel& hosts_;
    QString filterText_;
};
